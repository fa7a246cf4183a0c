// A directory of a test's own under the system's temporary directory,
// removed with everything in it when the object ends: tests never write
// into the source tree or the build tree. And a file's bytes, written and
// read through the host's streams.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace kez::test {

class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> serial{0};
        const auto base = std::filesystem::temp_directory_path();
        // Apart from every other process's: a random stem of this process.
        static const unsigned long long stem_value =
            std::random_device{}() ^
            static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string stem = "kez-test-" + std::to_string(stem_value) + "-";
        std::error_code ec;
        do {
            path_ = base / (stem + std::to_string(serial.fetch_add(1)));
        } while (!std::filesystem::create_directory(path_, ec) && !ec);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The path of `name` inside the directory.
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline void put_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kez::test
