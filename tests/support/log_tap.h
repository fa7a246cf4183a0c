// Reads the engine's test log tap (KEZ_TEST_LOG): one line per log message,
// "<level>\t<function>\t<text>".
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace kez::test {

struct TapLine {
    unsigned level = 0;
    std::string function;
    std::string text;
};

inline std::vector<TapLine> read_tap(const std::string &path) {
    std::vector<TapLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto a = line.find('\t');
        const auto b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        lines.push_back({static_cast<unsigned>(std::stoul(line.substr(0, a))), line.substr(a + 1, b - a - 1),
                         line.substr(b + 1)});
    }
    return lines;
}

// Lines written after `mark` lines were already there.
class TapReader {
public:
    explicit TapReader(std::string path) : path_(std::move(path)) { mark(); }
    void mark() { seen_ = read_tap(path_).size(); }
    std::vector<TapLine> since_mark() const {
        auto all = read_tap(path_);
        return std::vector<TapLine>(all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end());
    }
    bool contains_since_mark(const std::string &text) const {
        for (const auto &l : since_mark())
            if (l.text == text) return true;
        return false;
    }

private:
    std::string path_;
    std::size_t seen_ = 0;
};

}  // namespace kez::test
