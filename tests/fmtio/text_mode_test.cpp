// Line ends of text (ASCII) files: CR LF read as LF, LF written as CR LF,
// through the formatting and I/O functions and the POSIX-style handles. A
// model translation of random data full of CR and LF bytes is compared
// with reads of every chunk size, and the positions the engine reports
// between reads with the raw bytes the model says were consumed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fmtio/file_test_util.h"
#include "kez/formatio.h"
#include "support/temp_dir.h"

namespace {

using kez::test::clib;
using kez::test::file_bytes;
using kez::test::put_file;
using kez::test::TempDir;
namespace cc = kez::test::clib_const;

// The model: the translated text, and for each of its bytes the raw offset
// just after the bytes that produced it.
struct Model {
    std::string text;
    std::vector<long long> raw_end;
    long long position_after(std::size_t delivered) const { return delivered == 0 ? 0 : raw_end[delivered - 1]; }
};

Model translate(const std::string &raw) {
    Model m;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        m.text.push_back(raw[i]);
        m.raw_end.push_back(static_cast<long long>(i + 1));
    }
    return m;
}

std::string random_raw(unsigned seed, std::size_t size) {
    std::mt19937 rng(seed);
    static const char kAlphabet[] = "\r\r\r\n\n\nab\xC3Z";
    std::string raw;
    while (raw.size() < size) {
        if (rng() % 9 == 0)
            raw += "\r\r\n";
        else
            raw.push_back(kAlphabet[rng() % (sizeof kAlphabet - 1)]);
    }
    return raw;
}

struct Case {
    const char *raw, *text;
};

TEST(FmtIOTextMode, WriteTranslation) {
    TempDir dir;
    const std::string p = dir.file("w.txt");
    // Long runs and many line feeds (writes longer than a staging block are
    // in WriteTranslationAtEveryOffset).
    std::string many, many_raw;
    for (int i = 0; i < 9000; ++i) many += i % 1000 == 999 ? std::string(5000, 'x') : "\n";
    for (char c : many) many_raw += c == '\n' ? "\r\n" : std::string(1, c);
    const Case cases[] = {
        {"a\nb\r\n", "a\r\nb\r\r\n"}, {"\r", "\r"}, {"\n\n", "\r\n\r\n"}, {many.c_str(), many_raw.c_str()}};
    for (const Case &c : cases) {
        const std::size_t n = std::strlen(c.raw);
        const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_ASCII);
        EXPECT_EQ(Kez_WriteFile(h, c.raw, n), static_cast<int>(n));
        EXPECT_EQ(SetFilePtr(h, 0, 1), static_cast<long long>(std::strlen(c.text)));
        EXPECT_EQ(Kez_CloseFile(h), 0);
        EXPECT_EQ(file_bytes(p), c.text);
        const int ph = clib().open(p.c_str(), cc::kO_WRONLY | cc::kO_TRUNC | cc::kO_TEXT);
        EXPECT_EQ(clib().write(ph, c.raw, static_cast<unsigned>(n)), static_cast<int>(n));
        EXPECT_EQ(clib().close(ph), 0);
        EXPECT_EQ(file_bytes(p), c.text);
    }
    // Binary wins over text; binary files are written as they are.
    int h = clib().open(p.c_str(), cc::kO_WRONLY | cc::kO_TRUNC | cc::kO_TEXT | cc::kO_BINARY);
    EXPECT_EQ(clib().write(h, "a\n", 2), 2);
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_EQ(file_bytes(p), "a\n");
    h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_BINARY);
    EXPECT_EQ(Kez_WriteFile(h, "a\nb", 3), 3);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "a\nb");
}

// LF as CR LF, the reference.
std::string with_cr(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Writes each block with one call to a new text file; the file must hold
// the blocks translated, in order.
void expect_written(const std::string &path, const std::vector<std::string> &blocks) {
    const int h = Kez_OpenFile(path.c_str(), KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_ASCII);
    ASSERT_GE(h, 3);
    std::string expect;
    for (const std::string &b : blocks) {
        ASSERT_EQ(Kez_WriteFile(h, b.data(), b.size()), static_cast<int>(b.size()));
        expect += with_cr(b);
    }
    EXPECT_EQ(SetFilePtr(h, 0, 1), static_cast<long long>(expect.size()));
    EXPECT_EQ(Kez_CloseFile(h), 0);
    const std::string got = file_bytes(path);
    ASSERT_EQ(got.size(), expect.size());
    const auto diff = std::mismatch(got.begin(), got.end(), expect.begin());
    EXPECT_TRUE(diff.first == got.end()) << "first difference at byte " << (diff.first - got.begin());
}

// The translation goes 32 or 16 bytes at a time, copying the bytes after
// each line feed again one place further on, into a staging block that is
// written out when full. Line feeds at every offset of a block, next to
// each other and at its ends; writes of every length around the block
// sizes; writes several stages long, with line feeds sparse, dense and
// everywhere; each with the wide translation and with the 16-byte one.
TEST(FmtIOTextMode, WriteTranslationAtEveryOffset) {
    TempDir dir;
    const std::string p = dir.file("offsets.txt");
    for (const bool narrow : {false, true}) {
        SCOPED_TRACE(narrow ? "16-byte translation" : "widest translation");
        KezTest_ArmFaultEx("fmtio.text_avx2", narrow ? 1000000 : 0, 0, 0);
        std::vector<std::string> blocks;
        for (std::size_t length = 1; length <= 100; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string b(length, 'x');
                for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<char>('a' + i % 26);
                b[at] = '\n';
                blocks.push_back(b);
                if (at + 1 < length) {
                    b[at + 1] = '\n';
                    blocks.push_back(b);
                }
            }
            blocks.push_back(std::string(length, '\n'));
        }
        expect_written(p, blocks);
        if (HasFatalFailure()) break;

        // Long writes: a line feed every `gap` bytes, from every byte to
        // none, through several stages and across the end of each.
        blocks.clear();
        for (const std::size_t gap : {1u, 2u, 15u, 16u, 17u, 31u, 32u, 33u, 40u, 63u, 64u, 65u, 1000u, 0u}) {
            for (const std::size_t size : {4000u, 65536u, 70000u, 131072u, 300001u}) {
                std::string b(size, 'y');
                if (gap != 0)
                    for (std::size_t i = gap - 1; i < size; i += gap) b[i] = '\n';
                blocks.push_back(b);
            }
        }
        std::mt19937 rng(narrow ? 11 : 12);
        for (int n = 0; n < 40; ++n) {
            std::string b(rng() % 200000, 'z');
            const unsigned density = 1 + rng() % 64;
            for (char &c : b) c = rng() % density == 0 ? '\n' : static_cast<char>('A' + rng() % 26);
            blocks.push_back(b);
        }
        expect_written(p, blocks);
        if (HasFatalFailure()) break;
    }
    KezTest_ArmFaultEx("fmtio.text_avx2", 0, 0, 0);
}

// A write that fails part-way leaves what the staging blocks before the
// failure held: whole translated bytes, never a CR without its LF.
TEST(FmtIOTextMode, WriteFailingPartWayLeavesWholeLines) {
    TempDir dir;
    const std::string p = dir.file("partial.txt");
    std::string text(400000, 'w');
    for (std::size_t i = 6; i < text.size(); i += 7) text[i] = '\n';
    const std::string full = with_cr(text);
    const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, KEZ_FILE_TRUNCATE, KEZ_FILE_ASCII);
    ASSERT_GE(h, 3);
    KezTest_ArmFaultEx("os.file_write", 1, 1, kez::test::kSysDiskFull);
    EXPECT_FMTIO_FAIL(Kez_WriteFile(h, text.data(), text.size()), KEZ_FMTIO_DISK_FULL);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    const std::string got = file_bytes(p);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), full.size());
    EXPECT_EQ(got, full.substr(0, got.size()));
    EXPECT_NE(got.back(), '\r');
}

// Bytes read ahead (ReadLine reads in blocks, a text read looks past a
// final CR) belong to the reader: every other call must see the logical
// position, not the file's.
TEST(FmtIOTextMode, ReadAheadIsHonouredByEveryCall) {
    TempDir dir;
    const std::string p = dir.file("ahead.txt");
    put_file(p, "line1\r\nline2\r\nrest");
    int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ_WRITE, KEZ_FILE_OPEN, KEZ_FILE_ASCII);
    ASSERT_GE(h, 3);
    char buf[16] = {};
    EXPECT_EQ(ReadLine(h, buf, 15), 5);
    EXPECT_EQ(SetFilePtr(h, 0, 1), 7);
    EXPECT_EQ(clib().lseek(h, 0, 1), 7);
    EXPECT_EQ(clib().eof(h), 0);
    EXPECT_EQ(Kez_ReadFile(h, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "lin");
    EXPECT_EQ(SetFilePtr(h, 0, 1), 10);
    EXPECT_EQ(Kez_WriteFile(h, "XY", 2), 2);
    EXPECT_EQ(SetFilePtr(h, 0, 1), 12);
    EXPECT_EQ(ReadLine(h, buf, 15), 0);
    EXPECT_EQ(SetFilePtr(h, -3, 1), 11);
    EXPECT_EQ(clib().read(h, buf, 1), 1);
    EXPECT_EQ(buf[0], 'Y');
    EXPECT_EQ(ReadLine(h, buf, 15), 0);
    EXPECT_EQ(ReadLine(h, buf, 15), 4);
    EXPECT_STREQ(buf, "rest");
    EXPECT_EQ(clib().eof(h), 1);
    EXPECT_EQ(ReadLine(h, buf, 15), -2);
    EXPECT_EQ(Kez_CloseFile(h), 0);
    EXPECT_EQ(file_bytes(p), "line1\r\nlinXY\r\nrest");

    // A CR at the end of a read: the byte after it is given back.
    put_file(p, "ab\rcd");
    h = clib().open(p.c_str(), cc::kO_RDWR | cc::kO_TEXT);
    ASSERT_GE(h, 3);
    EXPECT_EQ(clib().read(h, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "ab\r");
    EXPECT_EQ(clib().lseek(h, 0, 1), 3);
    EXPECT_EQ(clib().eof(h), 0);
    EXPECT_EQ(clib().write(h, "X", 1), 1);
    EXPECT_EQ(clib().read(h, buf, 8), 1);
    EXPECT_EQ(buf[0], 'd');
    EXPECT_EQ(clib().close(h), 0);
    EXPECT_EQ(file_bytes(p), "ab\rXd");
}

// A seek that fails leaves the position where it was, read-ahead or not.
TEST(FmtIOTextMode, FailedSeekKeepsThePosition) {
    TempDir dir;
    const std::string p = dir.file("seek.txt");
    put_file(p, "line1\r\nline2\r\nline3\r\n");
    for (bool posix : {false, true}) {
        for (int origin : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "posix " << posix << " origin " << origin);
            const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, KEZ_FILE_ASCII);
            ASSERT_GE(h, 3);
            char buf[16];
            ASSERT_EQ(ReadLine(h, buf, 15), 5);
            if (posix) {
                EXPECT_ERRNO(clib().lseek(h, -100, origin), cc::kEINVAL);
            } else {
                EXPECT_FMTIO_FAIL(SetFilePtr(h, -100, origin), KEZ_FMTIO_INVALID_ARGUMENT);
            }
            EXPECT_EQ(SetFilePtr(h, 0, 1), 7);
            EXPECT_EQ(ReadLine(h, buf, 15), 5);
            EXPECT_STREQ(buf, "line2");
            EXPECT_EQ(Kez_CloseFile(h), 0);
        }
    }
}

// Reads the whole file in chunks of `chunk`, checking the position after
// every read; once, part-way, seeks back to a reported position and checks
// the reading continues exactly there.
void read_in_chunks(const std::string &path, const Model &m, std::size_t raw_size, unsigned chunk, bool posix) {
    SCOPED_TRACE(testing::Message() << "chunk " << chunk << (posix ? " posix" : " fmtio"));
    const int h = posix ? clib().open(path.c_str(), cc::kO_RDONLY | cc::kO_TEXT) : Kez_OpenFile(path.c_str(), 1, 0, 1);
    ASSERT_GE(h, 3);
    auto tell = [&] { return posix ? static_cast<long long>(clib().lseek(h, 0, 1)) : SetFilePtr(h, 0, 1); };
    std::string got;
    std::vector<char> buf(chunk + 1);
    bool went_back = false;
    std::size_t mark = 0;
    long long mark_position = 0;
    for (int reads = 0;; ++reads) {
        const int n = posix ? clib().read(h, buf.data(), chunk) : Kez_ReadFile(h, buf.data(), chunk);
        ASSERT_GE(n, 0);
        ASSERT_LE(static_cast<unsigned>(n), chunk);
        if (n == 0) break;
        got.append(buf.data(), static_cast<std::size_t>(n));
        ASSERT_LE(got.size(), m.text.size());
        const long long at = tell();
        ASSERT_EQ(at, m.position_after(got.size())) << "after " << got.size() << " bytes";
        if (reads == 2) {
            mark = got.size();
            mark_position = at;
        }
        if (!went_back && got.size() * 2 >= m.text.size() && reads > 2) {
            went_back = true;
            ASSERT_EQ(
                posix ? static_cast<long long>(clib().lseek(h, mark_position, 0)) : SetFilePtr(h, mark_position, 0),
                mark_position);
            got.resize(mark);
        }
    }
    EXPECT_EQ(tell(), static_cast<long long>(raw_size));
    EXPECT_TRUE(got == m.text) << "the text read differs from the model";
    EXPECT_EQ(clib().eof(h), 1);
    EXPECT_EQ(posix ? clib().close(h) : Kez_CloseFile(h), 0);
}

TEST(FmtIOTextMode, ModelEveryChunkSize) {
    TempDir dir;
    const std::string p = dir.file("model.txt");
    // Short files translated by hand: the model agrees, and so do reads of
    // them in chunks of every size that matters, through both interfaces.
    const Case cases[] = {{"a\r\nb", "a\nb"}, {"a\rb", "a\rb"},     {"\r\r\n", "\r\n"},   {"\r", "\r"},
                          {"x\r", "x\r"},     {"\r\n\r\n", "\n\n"}, {"\n\r\r", "\n\r\r"}, {"\r\n\n\r", "\n\n\r"}};
    for (const Case &c : cases) {
        put_file(p, c.raw);
        const Model m = translate(c.raw);
        ASSERT_EQ(m.text, c.text);
        for (unsigned chunk : {1u, 2u, 64u})
            for (bool posix : {false, true}) read_in_chunks(p, m, std::strlen(c.raw), chunk, posix);
        if (testing::Test::HasFatalFailure()) return;
    }
    const std::string raw = random_raw(20261207, 9000);  // past two read-ahead blocks
    {
        const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_WRITE, 0, KEZ_FILE_BINARY);
        ASSERT_EQ(Kez_WriteFile(h, raw.data(), raw.size()), static_cast<int>(raw.size()));
        ASSERT_EQ(Kez_CloseFile(h), 0);
        ASSERT_EQ(file_bytes(p), raw);
    }
    const Model m = translate(raw);
    ASSERT_LT(m.text.size(), raw.size());
    for (unsigned chunk = 1; chunk <= 600; chunk += chunk < 64 ? 1 : 7) {
        read_in_chunks(p, m, raw.size(), chunk, chunk % 2 == 0);
        read_in_chunks(p, m, raw.size(), chunk, chunk % 2 != 0);
        if (testing::Test::HasFatalFailure()) return;
    }
}

TEST(FmtIOTextMode, ModelReadLine) {
    TempDir dir;
    const std::string p = dir.file("lines.txt");
    for (unsigned seed : {0u, 1u, 2u, 3u}) {
        // Seed 0: CR LF split by the 4096-byte read-ahead blocks, and a lone
        // CR next to the end of a block; seed 3's data ends without a line feed.
        std::string raw = random_raw(seed, 9000);
        if (seed == 0) raw = std::string(4095, 'a') + "\r\n" + std::string(4093, 'b') + "\r" + "c\r\r\n\n";
        if (seed == 3) raw += "tail\r";
        put_file(p, raw);
        const Model m = translate(raw);
        const int h = Kez_OpenFile(p.c_str(), KEZ_FILE_READ, 0, KEZ_FILE_ASCII);
        ASSERT_GE(h, 3);
        std::size_t at = 0;  // translated bytes consumed
        std::vector<char> line(m.text.size() + 1);  // room for any line
        for (int i = 0; at < m.text.size(); ++i) {
            const std::size_t lf = m.text.find('\n', at);
            const std::size_t end = lf == std::string::npos ? m.text.size() : lf;
            const std::string want = m.text.substr(at, end - at);
            // Every third line through a buffer of 2 bytes: cut, fully counted.
            const int max = i % 3 == 0 ? 2 : -1;
            ASSERT_EQ(ReadLine(h, line.data(), max), static_cast<int>(want.size())) << "line " << i;
            const std::string stored = max < 0 ? want : want.substr(0, 2);
            ASSERT_EQ(std::string(line.data(), std::strlen(line.data())), stored) << "line " << i;
            at = lf == std::string::npos ? end : end + 1;
            ASSERT_EQ(SetFilePtr(h, 0, 1), m.position_after(at)) << "line " << i;
        }
        EXPECT_EQ(ReadLine(h, line.data(), -1), -2);
        EXPECT_EQ(Kez_CloseFile(h), 0);
    }
}

}  // namespace
