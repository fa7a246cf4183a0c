// The current directory and path splitting.
#include <cstddef>
#include <cstring>

#include "clib/char_classes.h"
#include "kez/utility.h"
#include "log/log.h"
#include "os/system_services.h"

namespace {

constexpr std::size_t kMaxPath = KEZ_MAX_PATHNAME_LEN;
constexpr std::size_t kMaxDrive = 2;
constexpr std::size_t kMaxPart = 255;

// Bytes of the character at p: 2 for a lead byte followed by a byte
// (a lead byte before the terminator stands alone).
std::size_t char_size(const bool *lead, const char *p) {
    return lead != nullptr && lead[static_cast<unsigned char>(*p)] && p[1] != '\0' ? 2 : 1;
}

// Copies `length` bytes of `part` into `out` (when not null), cut to at
// most `max` bytes at a character boundary, and terminates it.
void copy_part(const bool *lead, char *out, const char *part, std::size_t length, std::size_t max) {
    if (out == nullptr) return;
    std::size_t n = 0;
    while (n < length) {
        const std::size_t size = char_size(lead, part + n);
        if (n + size > max) break;
        n += size;
    }
    std::memcpy(out, part, n);
    out[n] = '\0';
}

}  // namespace

// The directory is read into a buffer of our own, so that one that does
// not fit writes nothing into the caller's.
extern "C" int GetDir(char *currentDirectory) {
    if (currentDirectory == nullptr) return -5;
    char directory[kMaxPath];
    if (!kez::os::current_directory(directory, sizeof directory)) return -3;
    std::memcpy(currentDirectory, directory, std::strlen(directory) + 1);
    return 0;
}

extern "C" int SetDir(const char *directoryPath) {
    if (directoryPath == nullptr || directoryPath[0] == '\0') return -1;
    return kez::os::change_directory(directoryPath) ? 0 : -1;
}

// The path is walked forwards by characters: a byte that looks like a
// separator but is the second byte of a two-byte character is no separator,
// which a backward walk over bytes could not tell.
extern "C" void SplitPath(const char *pathName, char *driveName, char *directoryName, char *fileName) {
    const bool *lead = kez::clib::active_lead_bytes();
    const char *path = pathName != nullptr ? pathName : "";
    std::size_t length = 0;
    std::size_t file_start = 0;
    while (path[length] != '\0') {
        const char c = path[length];
        const std::size_t size = char_size(lead, path + length);
        if (size == 1 && (c == '/' || c == '\\' || c == ':')) file_start = length + 1;
        length += size;
    }
    const std::size_t drive =
        length > 1 && path[1] == ':' && (lead == nullptr || !lead[static_cast<unsigned char>(path[0])]) ? 2 : 0;
    const std::size_t directory = file_start > drive ? file_start - drive : 0;
    const std::size_t file = length - (file_start > drive ? file_start : drive);
    copy_part(lead, driveName, path, drive, kMaxDrive);
    copy_part(lead, directoryName, path + drive, directory, kMaxPart);
    copy_part(lead, fileName, path + length - file, file, kMaxPart);
    // The line reads "pathLen=%zd, driveLen=%zd, dirLen=%zd, fileLen=%zd";
    // written with %lld, which the compiler's format check knows on every
    // target (the logger's own printf knows both).
    KEZ_LOG(kez::log::kInfo, "pathLen=%lld, driveLen=%lld, dirLen=%lld, fileLen=%lld",
            static_cast<long long>(length), static_cast<long long>(drive), static_cast<long long>(directory),
            static_cast<long long>(file));
}
