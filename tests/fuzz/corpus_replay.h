// Replays a fuzz target's corpus through its check: every file, each
// failure reported with the file's name. Returns the count of files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kez::fuzz {

using Check = std::string (*)(const std::uint8_t *data, std::size_t size);

inline int replay_corpus(const char *target, Check check) {
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(KEZ_FUZZ_CORPUS) / target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++files;
        EXPECT_EQ(check(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()), "")
            << target << "/" << entry.path().filename().string();
    }
    return files;
}

}  // namespace kez::fuzz
