// The test build assembles and compiles the programs of tests/dos; these checks
// make sure each came out as the kind of file DOS loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const size_t COM_MAX_BYTES = 0x10000 - 0x100;  // the segment less the PSP
const size_t MZ_PAGE_BYTES = 512;
const size_t MZ_PARA_BYTES = 16;
// Word offsets in the MZ header.
const size_t MZ_LAST_PAGE_BYTES = 2;
const size_t MZ_PAGES = 4;
const size_t MZ_RELOCATIONS = 6;
const size_t MZ_HEADER_PARAS = 8;
const size_t MZ_IP = 20;
const size_t MZ_HEADER_MIN_BYTES = 28;

std::vector<uint8_t> read_program(const std::string &name)
{
    std::vector<uint8_t> bytes;
    std::FILE *f = std::fopen((std::string(HALVERD_DOS_DIR) + "/" + name).c_str(), "rb");
    if (!f)
        return bytes;
    uint8_t buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

unsigned word_at(const std::vector<uint8_t> &b, size_t offset)
{
    return b[offset] | b[offset + 1] << 8;
}

bool contains(const std::vector<uint8_t> &b, const std::string &text)
{
    return std::search(b.begin(), b.end(), text.begin(), text.end()) != b.end();
}

struct ComCase {
    const char *file;
    const char *text;  // a string the program prints
};

const ComCase COM_CASES[] = {
    {"HELLO.COM", "hello, DOS"},    // nasm
    {"CEXIT.COM", "hello from C"},  // bcc
};

}  // namespace

TEST(DosPrograms, ComProgramsAreBuiltAsFlatImages)
{
    for (const ComCase &c : COM_CASES) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> b = read_program(c.file);
        ASSERT_FALSE(b.empty()) << "missing or empty in " << HALVERD_DOS_DIR;
        EXPECT_LE(b.size(), COM_MAX_BYTES);
        // DOS loads a file that starts with either signature as an EXE.
        bool mz = b.size() >= 2 && ((b[0] == 'M' && b[1] == 'Z') || (b[0] == 'Z' && b[1] == 'M'));
        EXPECT_FALSE(mz);
        EXPECT_TRUE(contains(b, c.text));
    }
}

TEST(DosPrograms, ExeMarkerGivesMzHeaderThatDescribesTheFile)
{
    std::vector<uint8_t> b = read_program("MZEXIT.EXE");
    ASSERT_GE(b.size(), MZ_HEADER_MIN_BYTES) << "missing or short in " << HALVERD_DOS_DIR;
    EXPECT_EQ(b[0], 'M');
    EXPECT_EQ(b[1], 'Z');
    size_t last = word_at(b, MZ_LAST_PAGE_BYTES);
    size_t file_bytes = (word_at(b, MZ_PAGES) - 1) * MZ_PAGE_BYTES + (last ? last : MZ_PAGE_BYTES);
    EXPECT_EQ(file_bytes, b.size());
    EXPECT_EQ(word_at(b, MZ_RELOCATIONS), 0u);
    size_t header_bytes = word_at(b, MZ_HEADER_PARAS) * MZ_PARA_BYTES;
    ASSERT_LT(header_bytes, b.size());
    EXPECT_LT(word_at(b, MZ_IP), b.size() - header_bytes);
}
