// The DOS kernel over a temporary host folder: names and paths, handles and
// devices, searches, the memory chain and the root-escape safety.
#include "dos/dos.h"

#include "machine/cpu.h"
#include "machine/hle.h"

#include "host_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DosTest : public ::testing::Test {
protected:
    std::string top, root, outside;

    void SetUp() override
    {
        char tmpl[] = "/tmp/halverd_dosXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top = tmpl;
        root = top + "/root";
        outside = top + "/outside";
        mkdir(root.c_str(), 0777);
        mkdir(outside.c_str(), 0777);
        machine_init();
        dos_init(root.c_str());
    }

    void TearDown() override
    {
        sft_reset();
        std::string cmd = "rm -rf '" + top + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string host(const char *rel) { return root + "/" + rel; }

    std::string read_handle(int h)
    {
        std::string s;
        uint8_t buf[64];
        int n;
        while ((n = dos_read_host(h, buf, sizeof buf)) > 0)
            s.append((const char *)buf, (size_t)n);
        return s;
    }
};

TEST_F(DosTest, NormalisesPaths)
{
    strcpy(dos_cwd, "\\GAME");
    struct Row {
        const char *in, *want;
    } rows[] = {
        {"c:\\game\\..\\GAME\\.\\x.txt", "C:\\GAME\\X.TXT"},
        {"\\GAME\\X.TXT", "C:\\GAME\\X.TXT"},
        {"x.txt ", "C:\\GAME\\X.TXT"},
        {"X.TXT.", "C:\\GAME\\X.TXT"},
        {"d:/game/x.txt", "C:\\GAME\\X.TXT"},
        {"\\..\\..\\A", "C:\\A"},
        {"..\\..\\..", "C:\\"},
        {"\\...\\A", "C:\\A"},
        {"\\\x82t\x87", "C:\\\x90T\x80"},
    };
    for (const Row &r : rows) {
        char out[DOS_PATH_MAX];
        dos_normalize(r.in, out);
        EXPECT_STREQ(out, r.want) << r.in;
    }
    std::string deep;
    for (int i = 0; i < 70; i++)
        deep += "\\D";
    char out[DOS_PATH_MAX];
    dos_normalize(deep.c_str(), out);
    EXPECT_EQ(strlen(out), 2u + 64 * 2);
}

TEST_F(DosTest, EightThreeNamesAndWildcards)
{
    struct V {
        const char *name;
        int valid;
    } names[] = {{".", 1}, {"..", 1}, {".X", 0}, {"ABCDEFGH", 1}, {"ABCDEFGHI", 0}, {"A.BCDE", 0},
                 {"ABCDEFGH.TXT", 1}, {"A.B.C", 0}, {"LONGFILENAME.DAT", 0}};
    for (const V &v : names)
        EXPECT_EQ(valid83(v.name), v.valid) << v.name;
    struct M {
        const char *pattern, *name;
        int match;
    } matches[] = {{"*", "NOEXT", 1}, {"*", "A.TXT", 0}, {"A?C.*", "ABC.DAT", 1}, {"A?C.*", "AXC", 1},
                   {"A?C.*", "ABD.DAT", 0}, {"*.*", "ANY.X", 1}, {"*.TXT", "A.TXT", 1}, {"*.TXT", "A.TX", 0}};
    for (const M &m : matches)
        EXPECT_EQ(match83(m.pattern, m.name), m.match) << m.pattern << " " << m.name;
}

TEST_F(DosTest, HostNamesInCodePage437)
{
    struct Row {
        const char *host, *dos;
    } rows[] = {
        {"caf\xC3\xA9", "caf\x82"},         // e-acute
        {"\xE2\x96\x91x", "\xB0x"},         // light shade, three bytes
        {"a\xE2\x82\xACz", "a_z"},          // the euro sign is not in the code page
        {"\xF0\x9F\x98\x80", "____"},       // four-byte sequences: one "_" per byte
        {"\xC3(", "_("},                    // a lead byte without its continuation
        {"\x80x", "_x"},
    };
    for (const Row &r : rows) {
        char out[DOS_ARG_MAX + 1];
        name_host_to_dos(r.host, out);
        EXPECT_STREQ(out, r.dos) << r.host;
    }
    EXPECT_TRUE(dos_name_matches_host("CAF\x90", "caf\xC3\xA9"));
}

TEST_F(DosTest, ResolvesHostNamesOfAnyCase)
{
    spit(host("Readme.txt"), "hi");
    spit(host("LongFileName.dat"), "long");
    int h;
    ASSERT_EQ(dos_open("README.TXT", 0, &h), 0);
    EXPECT_EQ(read_handle(h), "hi");
    EXPECT_EQ(dos_close(h), 0);
    ASSERT_EQ(dos_open("longfilename.dat", 0, &h), 0);
    EXPECT_EQ(read_handle(h), "long");
    dos_close(h);
    EXPECT_EQ(find_first("LONG*.*", 0), DOSERR_FILE_NOT_FOUND);
    EXPECT_EQ(dos_open("NOPE.TXT", 0, &h), DOSERR_FILE_NOT_FOUND);
    EXPECT_EQ(dos_open("NODIR\\NOPE.TXT", 0, &h), DOSERR_PATH_NOT_FOUND);
}

TEST_F(DosTest, CreatesUpperCaseNamesAndRefusesCreateNewOfExisting)
{
    int h;
    ASSERT_EQ(dos_create("newfile.txt", &h, 0), 0);
    EXPECT_EQ(dos_write_host(h, (const uint8_t *)"abc", 3), 3);
    dos_close(h);
    EXPECT_EQ(slurp(host("NEWFILE.TXT")), "abc");
    EXPECT_EQ(dos_create("NEWFILE.TXT", &h, 1), DOSERR_FILE_EXISTS);
    ASSERT_EQ(dos_create("\x82.DAT", &h, 0), 0);
    dos_close(h);
    EXPECT_EQ(slurp(host("\xC3\x89.DAT")), "");  // upper-cased to E-acute
}

TEST_F(DosTest, DevicesNeverTouchTheHost)
{
    int h;
    ASSERT_EQ(dos_open("NUL", 2, &h), 0);
    EXPECT_EQ(dos_write_host(h, (const uint8_t *)"xyz", 3), 3);
    EXPECT_EQ(dos_read_host(h, nullptr, 5), 0);
    dos_close(h);
    ASSERT_EQ(dos_open("C:\\ANY\\DIR\\CON.XYZ", 1, &h), 0);
    EXPECT_EQ(sft[jft_get(h)].kind, SFT_CON);
    dos_close(h);
    ASSERT_EQ(dos_create("emmxxxx0", &h, 0), 0);
    EXPECT_EQ(sft[jft_get(h)].kind, SFT_NUL);
    dos_close(h);
    struct stat st;
    EXPECT_NE(stat(host("NUL").c_str(), &st), 0);
    EXPECT_NE(stat(host("ANY").c_str(), &st), 0);
}

TEST_F(DosTest, TextFilesReadWithCrLf)
{
    spit(host("A.TXT"), "one\ntwo\n");
    spit(host("B.TXT"), "one\r\ntwo\r\n");
    spit(host("C.DAT"), "one\ntwo\n");
    struct Row {
        const char *name;
        int mode;
        const char *want;
    } rows[] = {
        {"A.TXT", 0, "one\r\ntwo\r\n"}, {"B.TXT", 0, "one\r\ntwo\r\n"},
        {"C.DAT", 0, "one\ntwo\n"},     {"A.TXT", 2, "one\r\ntwo\r\n"},
    };
    for (const Row &r : rows) {
        int h;
        ASSERT_EQ(dos_open(r.name, r.mode, &h), 0) << r.name;
        EXPECT_EQ(read_handle(h), r.want) << r.name << " mode " << r.mode;
        dos_close(h);
    }
    EXPECT_EQ(slurp(host("A.TXT")), "one\ntwo\n");  // the host file is untouched
}

TEST_F(DosTest, WriteOfZeroBytesTruncatesAndReadWriteMixes)
{
    spit(host("F.BIN"), "0123456789");
    int h;
    ASSERT_EQ(dos_open("F.BIN", 2, &h), 0);
    uint8_t buf[4];
    EXPECT_EQ(dos_read_host(h, buf, 4), 4);
    EXPECT_EQ(dos_write_host(h, (const uint8_t *)"ab", 2), 2);
    EXPECT_EQ(dos_read_host(h, buf, 1), 1);
    EXPECT_EQ(buf[0], '6');
    EXPECT_EQ(dos_write_host(h, nullptr, 0), 0);
    dos_close(h);
    EXPECT_EQ(slurp(host("F.BIN")), "0123ab6");
    ASSERT_EQ(dos_open("F.BIN", 0, &h), 0);
    EXPECT_EQ(dos_write_host(h, (const uint8_t *)"zz", 2), -2);     // opened for reading
    EXPECT_EQ(dos_write_host(h, nullptr, 0), -2);
    dos_close(h);
    EXPECT_EQ(slurp(host("F.BIN")), "0123ab6");
}

TEST_F(DosTest, HandlesAndTheirLimits)
{
    // Handles 0-4 exist from the start; closing 1 and duplicating 0 gives 1.
    for (int h = 0; h < 5; h++)
        EXPECT_GE(jft_get(h), 0) << h;
    EXPECT_EQ(dos_close(1), 0);
    int h;
    ASSERT_EQ(dos_dup(0, &h), 0);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(dos_close(7), DOSERR_BAD_HANDLE);
    EXPECT_EQ(dos_dup2(0, JFT_SIZE), DOSERR_BAD_HANDLE);

    // Fifteen more handles fill the table; the next open leaves nothing behind.
    spit(host("X.BIN"), "x");
    int used = 0;
    for (int k = 0; k < JFT_SIZE; k++)
        if (dos_open("X.BIN", 0, &h) == 0)
            used++;
    EXPECT_EQ(used, JFT_SIZE - 5);
    int free_before = 0;
    for (const SftRecord &r : sft)
        free_before += r.kind == SFT_FREE;
    EXPECT_EQ(dos_open("X.BIN", 0, &h), DOSERR_TOO_MANY_FILES);
    int free_after = 0;
    for (const SftRecord &r : sft)
        free_after += r.kind == SFT_FREE;
    EXPECT_EQ(free_after, free_before);
}

TEST_F(DosTest, NothingOutsideTheRootIsWritten)
{
    spit(outside + "/SECRET.TXT", "keep");
    ASSERT_EQ(symlink((outside + "/SECRET.TXT").c_str(), host("LINK.TXT").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), host("OUT").c_str()), 0);
    int h;
    // ".." stops at the root.
    ASSERT_EQ(dos_create("..\\..\\ESCAPE.TXT", &h, 0), 0);
    dos_close(h);
    struct stat st;
    EXPECT_EQ(stat(host("ESCAPE.TXT").c_str(), &st), 0);
    EXPECT_NE(stat((top + "/ESCAPE.TXT").c_str(), &st), 0);
    // Links that lead outside are read, never written through.
    ASSERT_EQ(dos_open("LINK.TXT", 0, &h), 0);
    EXPECT_EQ(read_handle(h), "keep");
    dos_close(h);
    EXPECT_EQ(dos_open("LINK.TXT", 2, &h), DOSERR_ACCESS_DENIED);
    EXPECT_EQ(dos_create("LINK.TXT", &h, 0), DOSERR_ACCESS_DENIED);
    EXPECT_EQ(dos_create("OUT\\NEW.TXT", &h, 0), DOSERR_ACCESS_DENIED);
    EXPECT_EQ(dos_delete("OUT\\SECRET.TXT"), DOSERR_ACCESS_DENIED);
    EXPECT_EQ(slurp(outside + "/SECRET.TXT"), "keep");
    EXPECT_NE(stat((outside + "/NEW.TXT").c_str(), &st), 0);
}

TEST_F(DosTest, FindFirstAndNextSorted)
{
    spit(host("b.dat"), "22");
    spit(host("A.DAT"), "1");
    spit(host("C.TXT"), "");
    mkdir(host("SUB").c_str(), 0777);
    spit(host("SUB/Z.DAT"), "");
    auto names = [&](const char *pattern, uint8_t attr) {
        std::string s;
        if (find_first(pattern, attr) != 0)
            return s;
        do {
            char n[DOS_NAME83_MAX];
            for (int i = 0; i < DOS_NAME83_MAX; i++)
                n[i] = (char)rd8(dta_seg, (uint16_t)(dta_off + 0x1E + i));
            s += n;
            s += rd8(dta_seg, (uint16_t)(dta_off + 0x15)) == 0x10 ? "/ " : " ";
        } while (find_next() == 0);
        return s;
    };
    EXPECT_EQ(names("*.*", 0), "A.DAT B.DAT C.TXT ");
    EXPECT_EQ(names("*.*", 0x10), "A.DAT B.DAT C.TXT SUB/ ");
    EXPECT_EQ(names("SUB\\*.*", 0x10), "./ ../ Z.DAT ");
    EXPECT_EQ(names("*.DAT", 0), "A.DAT B.DAT ");
    EXPECT_EQ(find_first("B.DAT", 0), 0);
    EXPECT_EQ(rd32(dta_seg, (uint16_t)(dta_off + 0x1A)), 2u);
    EXPECT_EQ(find_next(), DOSERR_NO_MORE_FILES);
    EXPECT_EQ(find_first("*.XYZ", 0), DOSERR_FILE_NOT_FOUND);
    EXPECT_EQ(find_first("NODIR\\*.*", 0), DOSERR_PATH_NOT_FOUND);
    EXPECT_EQ(find_first("*.*", 0x08), 0);
}

TEST_F(DosTest, SeventeenthSearchReusesTheFirstSlot)
{
    spit(host("A.DAT"), "");
    spit(host("B.DAT"), "");
    spit(host("X.TXT"), "");
    spit(host("Y.TXT"), "");
    uint8_t first_dta[0x2B];
    ASSERT_EQ(find_first("*.DAT", 0), 0);
    for (int i = 0; i < 0x2B; i++)
        first_dta[i] = rd8(dta_seg, (uint16_t)(dta_off + i));
    for (int k = 0; k < 16; k++)
        ASSERT_EQ(find_first("*.TXT", 0), 0);
    for (int i = 0; i < 0x2B; i++)
        wr8(dta_seg, (uint16_t)(dta_off + i), first_dta[i]);
    ASSERT_EQ(find_next(), 0);
    EXPECT_EQ(rd8(dta_seg, (uint16_t)(dta_off + 0x1E)), 'Y');
}

TEST_F(DosTest, ChangesDirectory)
{
    mkdir(host("Game").c_str(), 0777);
    EXPECT_EQ(dos_chdir("game"), 0);
    EXPECT_STREQ(dos_cwd, "\\GAME");
    EXPECT_EQ(dos_chdir(".."), 0);
    EXPECT_STREQ(dos_cwd, "");
    EXPECT_EQ(dos_chdir("NOPE"), DOSERR_PATH_NOT_FOUND);
    spit(host("F.TXT"), "");
    EXPECT_EQ(dos_chdir("F.TXT"), DOSERR_PATH_NOT_FOUND);
}

// ---- the memory chain --------------------------------------------------------

uint16_t mcb_size_of(uint16_t seg) { return rd16((uint16_t)(seg - 1), MCB_SIZE); }
uint8_t mcb_type_of(uint16_t seg) { return rd8((uint16_t)(seg - 1), MCB_TYPE); }

TEST_F(DosTest, StartLayout)
{
    EXPECT_EQ(master_env, 0x0601);
    EXPECT_EQ(dos_cur_psp, 0x0622);
    EXPECT_EQ(rd8(0x0632, MCB_TYPE), MCB_LAST);
    EXPECT_EQ(rd16(0x0632, MCB_SIZE), 0xA000 - 0x0632 - 1);
    EXPECT_EQ(rd16l(FIRST_MCB_LIN), 0x0600);
    EXPECT_EQ(rd16(0x0622, PSP_PARENT), 0x0622);
    std::string env;
    for (uint16_t i = 0; rd8(master_env, i) || rd8(master_env, (uint16_t)(i + 1)); i++)
        env += rd8(master_env, i) ? (char)rd8(master_env, i) : '|';
    EXPECT_EQ(env, "COMSPEC=C:\\COMMAND.COM|PATH=C:\\|PROMPT=$P$G|BLASTER=A220 I5 D1 T3");
}

TEST_F(DosTest, AllocFirstFitExactAndOneSmaller)
{
    uint16_t largest = 0;
    uint16_t free_paras = 0xA000 - 0x0632 - 1;
    EXPECT_EQ(dos_alloc(0xFFFF, 1, &largest), 0);
    EXPECT_EQ(largest, free_paras);
    uint16_t a = dos_alloc(100, 1, nullptr);
    uint16_t b = dos_alloc(200, 1, nullptr);
    uint16_t c = dos_alloc(100, 1, nullptr);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(b, a + 101);
    // Freeing two neighbours and asking for both plus the MCB between them
    // succeeds: they are merged first.
    dos_free(a);
    dos_free(b);
    EXPECT_EQ(dos_alloc(301, 1, nullptr), a);
    // Exactly the size of a free block takes it whole; one less leaves a
    // free block of size 0.
    dos_free(c);
    mcb_coalesce();
    uint16_t rest = mcb_size_of(c);
    ASSERT_EQ(mcb_type_of(c), MCB_LAST);
    uint16_t d = dos_alloc((uint16_t)(rest - 1), 1, nullptr);
    EXPECT_EQ(d, c);
    EXPECT_EQ(rd16((uint16_t)(d + rest - 1), MCB_SIZE), 0);
    EXPECT_EQ(rd8((uint16_t)(d + rest - 1), MCB_TYPE), MCB_LAST);
    dos_free(d);
    EXPECT_EQ(dos_alloc(rest, 1, nullptr), c);
    EXPECT_EQ(mcb_type_of(c), MCB_LAST);
    EXPECT_EQ(mcb_size_of(c), rest);
}

TEST_F(DosTest, ResizeGrowsIntoFreeSuccessorOnly)
{
    uint16_t a = dos_alloc(10, 0x1234, nullptr);
    uint16_t b = dos_alloc(10, 1, nullptr);
    uint16_t m = 0;
    EXPECT_EQ(dos_resize(a, 20, &m), DOSERR_NO_MEMORY);
    EXPECT_EQ(m, 10);
    dos_free(b);
    wr8((uint16_t)(a - 1), MCB_NAME, 'N');
    EXPECT_EQ(dos_resize(a, 15, &m), 0);
    EXPECT_EQ(mcb_size_of(a), 15);
    EXPECT_EQ(rd16((uint16_t)(a - 1), MCB_OWNER), 0x1234);
    EXPECT_EQ(rd8((uint16_t)(a - 1), MCB_NAME), 'N');
    // Shrinking leaves a free block behind, merged with what follows.
    EXPECT_EQ(dos_resize(a, 5, &m), 0);
    EXPECT_EQ(mcb_size_of(a), 5);
    EXPECT_EQ(rd16((uint16_t)(a + 5), MCB_OWNER), 0);
    // The last block cannot grow and reports its own size.
    uint16_t largest;
    dos_alloc(0xFFFF, 1, &largest);
    uint16_t z = dos_alloc(largest, 1, nullptr);
    ASSERT_EQ(mcb_type_of(z), MCB_LAST);
    EXPECT_EQ(dos_resize(z, (uint16_t)(largest + 1), &m), DOSERR_NO_MEMORY);
    EXPECT_EQ(m, largest);
    EXPECT_EQ(dos_free(0x1234), DOSERR_BAD_BLOCK);
    EXPECT_EQ(dos_resize(0x1234, 1, &m), DOSERR_BAD_BLOCK);
}

TEST_F(DosTest, CorruptChainIsFatal)
{
    wr8(0x0632, MCB_TYPE, 'X');
    EXPECT_EXIT(dos_alloc(1, 1, nullptr), ::testing::ExitedWithCode(3), "MCB chain corrupt at 0632");
}

TEST_F(DosTest, PspFcbsAndTail)
{
    uint16_t psp = dos_alloc(PSP_PARAS, 1, nullptr);
    build_psp(psp, dos_cur_psp, master_env, 0x9000, " c:file.txt /x long.extension");
    std::string fcb1, fcb2;
    for (int i = 1; i < 12; i++) {
        fcb1 += (char)rd8(psp, (uint16_t)(PSP_FCB1 + i));
        fcb2 += (char)rd8(psp, (uint16_t)(PSP_FCB2 + i));
    }
    EXPECT_EQ(fcb1, "FILE    TXT");
    EXPECT_EQ(fcb2, "           ");  // the switch takes the second FCB
    EXPECT_EQ(rd8(psp, PSP_TAIL), 29);
    EXPECT_EQ(rd8(psp, PSP_TAIL + 1 + 29), 0x0D);
    // The child inherits the open handles and raises their counts.
    EXPECT_EQ(rd8(psp, PSP_JFT + 1), 0);
    EXPECT_EQ(rd8(psp, PSP_JFT + 5), JFT_CLOSED);
    EXPECT_EQ(sft[0].refs, 6);
}

}  // namespace
