// Real DOS programs of tests/dos run headless through the player: their exit
// codes, what they print and what they leave in the drive C: folder.
#include "host_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct PlayerRun {
    int code;
    std::string out, err;
};

class DosRunTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/halverd_runXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        std::string cmd = std::string("cp ") + HALVERD_DOS_DIR + "/*.COM " + HALVERD_DOS_DIR + "/*.EXE " + root;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    PlayerRun run(const std::string &args)
    {
        std::string err = root + "/.stderr";
        std::string cmd = "cd '" + root + "' && '" HALVERD_BINARY_DIR "/halverd' --headless --root '" + root +
                          "' " + args + " 2>'" + err + "'";
        PlayerRun r{-1, "", ""};
        FILE *p = popen(cmd.c_str(), "r");
        if (!p)
            return r;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int st = pclose(p);
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.err = slurp(err);
        return r;
    }
};

TEST_F(DosRunTest, ProgramsRunToTheirExitCodes)
{
    struct Row {
        const char *args;
        int code;
        const char *out;
    } rows[] = {
        {"HELLO.COM", 0, "hello, DOS\r\n"},
        {"CEXIT.COM", 3, "hello from C\r\n"},
        {"MZEXIT.EXE", 42, ""},
        {"FILES.COM", 0, "files ok\r\n"},
        {"MEM.COM", 0, "mem ok\r\n"},
        {"TSR.COM", 0, "tsr ok\r\n"},
        {"CFILES.COM", 0, "c files ok\r\n"},   // the C library of bcc
        {"CHILD.COM", 99, ""},                    // no handle 5 at the top level
        {"MOUSE.COM", 0, "mouse ok\r\n"},        // the INT 33h driver
        {"FCB.COM", 0, "fcb ok\r\n"},          // file control blocks
    };
    for (const Row &r : rows) {
        PlayerRun got = run(r.args);
        EXPECT_EQ(got.code, r.code) << r.args << "\n" << got.err;
        EXPECT_EQ(got.out, r.out) << r.args;
    }
}

TEST_F(DosRunTest, ExecOfAChildWithItsHandleAndReturnCode)
{
    spit(root + "/BAD.EXE", std::string("MZ\x10\x00\x01\x00\x50\x00\x02\x00", 10) + std::string(40, '\0'));
    PlayerRun got = run("EXEC.COM");
    EXPECT_EQ(got.code, 0) << got.err;
    EXPECT_EQ(got.out, "in child\r\nexec ok\r\n");
    EXPECT_EQ(slurp(root + "/OUT.TXT"), "child hello\r\nparent\r\n");
}

TEST_F(DosRunTest, BrokenExecutablesGiveTheirErrors)
{
    std::string mz_head("MZ", 2);
    auto word = [](unsigned v) { return std::string(1, (char)(v & 0xFF)) + std::string(1, (char)(v >> 8)); };
    // Header fields from offset 2: last-page bytes, pages, relocations,
    // header paragraphs, min extra, max extra, SS, SP, checksum, IP, CS,
    // relocation offset.
    auto header = [&](unsigned pages, unsigned relocs, unsigned min_extra, unsigned reloc_off) {
        std::string h = mz_head + word(0) + word(pages) + word(relocs) + word(2) + word(min_extra) +
                        word(0xFFFF) + word(0) + word(0x100) + word(0) + word(0) + word(0) + word(reloc_off);
        h.resize(32, '\0');
        return h + std::string(16, '\x90');
    };
    struct Row {
        const char *name;
        std::string bytes;
        int dos_error;
    } rows[] = {
        {"RELOCS.EXE", header(1, 40, 0, 0x1C), 11},        // the table runs past the end
        {"NOIMAGE.EXE", header(0, 0, 0, 0x1C), 11},        // no load image at all
        {"HUGE.EXE", header(1, 0, 0xF000, 0x1C), 8},       // needs more than all memory
        {"SHORT.EXE", std::string("MZ\x01\x00\x10\x00\x00\x00\x40\x00", 10) + std::string(20, '\0'), 11},
    };
    for (const Row &r : rows) {
        spit(root + "/" + r.name, r.bytes);
        PlayerRun got = run(r.name);
        EXPECT_EQ(got.code, 1) << r.name;
        EXPECT_NE(got.err.find("cannot run " + std::string(r.name) + ": DOS error " + std::to_string(r.dos_error)),
                  std::string::npos)
            << r.name << ": " << got.err;
    }
    std::string pe = header(1, 0, 0, 0x40);
    pe.resize(0x80, '\0');
    pe[0x3C] = 0x40;
    pe.replace(0x40, 4, std::string("PE\0\0", 4));
    spit(root + "/WIN.EXE", pe);
    PlayerRun got = run("WIN.EXE");
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.err.find("is a Windows program, not a DOS one"), std::string::npos) << got.err;
}

TEST_F(DosRunTest, NinthExecLevelIsFatal)
{
    PlayerRun got = run("NEST.COM");
    EXPECT_EQ(got.code, 3);
    EXPECT_NE(got.err.find("FATAL: EXEC nesting too deep"), std::string::npos) << got.err;
}

TEST_F(DosRunTest, MissingProgramWithRootGiven)
{
    PlayerRun got = run("NOPE.EXE");
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.err.find("Cannot find NOPE.EXE in " + root + "."), std::string::npos) << got.err;
}

TEST_F(DosRunTest, StartDirectory)
{
    std::string cmd = "mkdir '" + root + "/sub' && cp '" + root + "/HELLO.COM' '" + root + "/sub/'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(run("--cd '\\SUB' HELLO.COM").out, "hello, DOS\r\n");
    PlayerRun got = run("--cd '\\NOWHERE' HELLO.COM");
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.err.find("no such directory \\NOWHERE"), std::string::npos) << got.err;
}

}  // namespace

namespace {

TEST_F(DosRunTest, BatchFileWithIfGotoShiftCallAndRedirection)
{
    spit(root + "/GO.BAT",
         "@echo off\r\n"
         "echo start %1 %2\r\n"
         "if %2==yes goto ok\r\n"
         "echo no\r\n"
         "goto end\r\n"
         ":ok\r\n"
         "if %2==YES echo wrong case\r\n"
         "if not exist X.DAT echo missing\r\n"
         "CEXIT\r\n"
         "if errorlevel 3 echo level3\r\n"
         "if errorlevel 4 echo level4\r\n"
         "shift\r\n"
         "echo shifted %1 100%%\r\n"
         "call SUB.BAT inner\r\n"
         "echo back\r\n"
         "echo Hello > OUT.TXT\r\n"
         "echo more >> OUT.TXT\r\n"
         "type OUT.TXT\r\n"
         "DIR\r\n"
         "echo.\r\n"
         ":end\r\n");
    spit(root + "/SUB.BAT", "echo in sub %1\r\n");
    PlayerRun got = run("GO.BAT a yes");
    EXPECT_EQ(got.code, 0) << got.err;
    EXPECT_EQ(got.out,
              "start a yes\r\nmissing\r\nhello from C\r\nlevel3\r\nshifted yes 100%\r\nin sub inner\r\nback\r\n"
              "Hello\r\nmore\r\nBad command or file name\r\n\r\n");
    EXPECT_EQ(slurp(root + "/OUT.TXT"), "Hello\r\nmore\r\n");
    EXPECT_EQ(run("GO.BAT a no").out, "start a no\r\nno\r\n");
}

TEST_F(DosRunTest, ShellCommandsAndEndlessChaining)
{
    ASSERT_EQ(system(("mkdir '" + root + "/BACKUP'").c_str()), 0);
    spit(root + "/A.DAT", "a\n");
    spit(root + "/B.DAT", "b\x1Ahidden");
    spit(root + "/LOOP.BAT", "echo again\r\nLOOP.BAT\r\n");
    spit(root + "/CMDS.BAT",
         "copy *.DAT BACKUP\r\n"
         "type B.DAT\r\n"
         "echo.\r\n"
         "cd backup\r\n"
         "cd\r\n"
         "cd..\r\n"
         "cd\r\n"
         "ren A.DAT C.DAT\r\n"
         "del BACKUP\\*.DAT\r\n"
         "md NEWDIR\r\n"
         "cd nowhere\r\n");
    PlayerRun got = run("CMDS.BAT");
    EXPECT_EQ(got.out, "        2 file(s) copied\r\nb\r\nC:\\BACKUP\r\nC:\\\r\nInvalid directory\r\n");
    EXPECT_EQ(got.code, 1);  // the last command failed
    EXPECT_EQ(slurp(root + "/C.DAT"), "a\n");
    EXPECT_EQ(slurp(root + "/BACKUP/A.DAT"), "<missing>");
    struct stat st;
    EXPECT_EQ(stat((root + "/NEWDIR").c_str(), &st), 0);

    got = run("LOOP.BAT");
    EXPECT_EQ(got.code, 1);
    size_t again = 0;
    for (size_t at = 0; (at = got.out.find("again", at)) != std::string::npos; at++)
        again++;
    EXPECT_EQ(again, 100u);
    EXPECT_NE(got.out.find("Batch file runs itself endlessly: stopped\r\n"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(DosRunTest, DelayLoopWaitsInRealTime)
{
    auto t0 = std::chrono::steady_clock::now();
    PlayerRun got = run("DELAY.COM");
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(got.code, 0) << got.err;
    EXPECT_GE(ms, 100.0);
    got = run("--debug 1 DELAY.COM");
    EXPECT_NE(got.err.find("Turbo Pascal CRT delay loop at "), std::string::npos) << got.err;
}

TEST_F(DosRunTest, UserPatchesFromTheEnvironment)
{
    struct Row {
        const char *patch;
        int code;
    } rows[] = {
        {"", 5},
        {"OTHER.COM@101=09", 5},
        {"patchme.com@101=07", 7},
        {"OTHER.COM@101=09,PATCHME.COM@101=08", 8},
        {"PATCHME.COM@101", 5},                     // no "=": parsing stops
    };
    for (const Row &r : rows) {
        setenv("VRK_PATCH", r.patch, 1);
        EXPECT_EQ(run("PATCHME.COM").code, r.code) << r.patch;
    }
    unsetenv("VRK_PATCH");
}

}  // namespace

namespace {

TEST_F(DosRunTest, WithoutRootTheCurrentFolderIsSearched)
{
    auto bare = [&](const std::string &args) {
        std::string cmd = "cd '" + root + "' && '" HALVERD_BINARY_DIR "/halverd' --headless " + args + " 2>&1";
        std::string out;
        FILE *p = popen(cmd.c_str(), "r");
        char buf[256];
        size_t n;
        while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int st = p ? pclose(p) : -1;
        return std::make_pair(WIFEXITED(st) ? WEXITSTATUS(st) : -1, out);
    };
    auto hello = bare("hello.com");
    EXPECT_EQ(hello.first, 0);
    EXPECT_EQ(hello.second, "hello, DOS\r\n");
    auto missing = bare("NOPE.EXE");
    EXPECT_EQ(missing.first, 1);
    EXPECT_NE(missing.second.find("Cannot find NOPE.EXE in the current folder.\n\nStart halverd with --root"),
              std::string::npos)
        << missing.second;
}

}  // namespace

namespace {

TEST_F(DosRunTest, UnpackWritesTheImageAtTheOriginalEntry)
{
    EXPECT_EQ(run("UNPACK.COM").code, 0);
    std::string dump = root + "/unpacked.bin";
    setenv("VRK_UNPACK", dump.c_str(), 1);
    PlayerRun got = run("UNPACK.COM");
    unsetenv("VRK_UNPACK");
    EXPECT_EQ(got.code, 0);
    size_t at = got.err.find("unpack: entry ");
    ASSERT_NE(at, std::string::npos) << got.err;
    std::string text = slurp(dump);
    ASSERT_EQ(text.compare(0, 5, "LOAD "), 0);
    unsigned load, cs, ip, size;
    ASSERT_EQ(sscanf(text.c_str(), "LOAD %X CS %X IP %X SS %*X SP %*X DS %*X ES %*X SIZE %X", &load, &cs, &ip, &size),
              4);
    EXPECT_EQ(cs, load);
    EXPECT_EQ(ip, 0x11Eu);                      // "entry" in unpack.asm
    size_t header = text.find('\n') + 1;
    EXPECT_EQ(text.size() - header, size);
    EXPECT_EQ((unsigned char)text[header + 0x11E], 0xB8);  // mov ax, 4C00h
}

}  // namespace

namespace {

TEST_F(DosRunTest, UnimplementedOpcodeIsFatal)
{
    PlayerRun got = run("BADOP.COM");
    EXPECT_EQ(got.code, 3);
    EXPECT_EQ(got.out, "before\r\n");     // what the program wrote is not lost
    EXPECT_NE(got.err.find("FATAL: unimplemented opcode 63 00 at "), std::string::npos) << got.err;
    EXPECT_NE(got.err.find("[fatal] CS:IP="), std::string::npos) << got.err;
    EXPECT_NE(got.err.find(":0107\n"), std::string::npos) << got.err;   // the ARPL's own address
}

TEST_F(DosRunTest, SignalEndsTheRunWithTheDump)
{
    std::string out = root + "/.out", err = root + "/.err";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        execl(HALVERD_BINARY_DIR "/halverd", "halverd", "--headless", "--root", root.c_str(), "SPIN.COM",
              (char *)nullptr);
        _exit(127);
    }
    // Wait until the program runs, then stop it.
    for (int i = 0; i < 500 && slurp(out).find("spinning") == std::string::npos; i++)
        usleep(10000);
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);
    EXPECT_EQ(slurp(out), "spinning\r\n");
    std::string e = slurp(err);
    EXPECT_NE(e.find("[signal] CS:IP="), std::string::npos) << e;
}

}
