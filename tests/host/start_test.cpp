#include "host/start.h"

#include "host/host.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Argv {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit Argv(std::initializer_list<const char *> w)
    {
        words.push_back("halverd");
        for (const char *s : w)
            words.push_back(s);
        for (auto &s : words)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return (int)words.size(); }
    char **argv() { return ptrs.data(); }
};

TEST(DosCommand, BatchFilesRunThroughTheShell)
{
    struct Row {
        const char *program, *tail, *want_prog, *want_tail;
    } rows[] = {
        {"GAME.BAT", "a b", "COMMAND.COM", " /c GAME.BAT a b"},
        {"game.bat", "", "COMMAND.COM", " /c game.bat"},
        {"VRK.EXE", "", "VRK.EXE", ""},
        {"VRK.EXE", "-x 1", "VRK.EXE", " -x 1"},
        {".BAT", "", ".BAT", ""},          // too short to be a batch file name
        {"A.BATX", "", "A.BATX", ""},
    };
    for (const Row &r : rows) {
        char out[COMMAND_MAX + 1];
        const char *prog = dos_command(r.program, r.tail, out);
        EXPECT_STREQ(prog, r.want_prog) << r.program;
        EXPECT_STREQ(out, r.want_tail) << r.program;
    }
}

TEST(DosCommand, LongTailIsCut)
{
    std::string tail(300, 'x');
    char out[COMMAND_MAX + 1];
    dos_command("X.BAT", tail.c_str(), out);
    EXPECT_EQ(strlen(out), (size_t)COMMAND_MAX);
}

TEST(ReadAll, WholeFileZeroTerminated)
{
    char path[] = "/tmp/halverd_read_allXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char data[] = "ab\0cd";
    ASSERT_EQ(write(fd, data, 5), 5);
    close(fd);
    size_t n = 99;
    char *buf = read_all(path, &n);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(memcmp(buf, data, 5), 0);
    EXPECT_EQ(buf[5], 0);
    free(buf);
    truncate(path, 0);
    buf = read_all(path, &n);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(n, 0u);
    free(buf);
    unlink(path);
    EXPECT_EQ(read_all(path, &n), nullptr);
    EXPECT_EQ(read_all("/tmp", &n), nullptr);   // a folder is no file
}

TEST(StartParse, ProgramTailAndOptions)
{
    Argv a({"--root", "/games", "--headless", "--cd", "\\RUN", "--interp", "GAME.EXE", "one", "--root", "two"});
    StartOptions o = {};
    rec_enabled = 1;
    EXPECT_EQ(start_parse(a.argc(), a.argv(), &o), -1);
    EXPECT_STREQ(o.program, "GAME.EXE");
    EXPECT_STREQ(o.tail, "one --root two");     // options after the program belong to it
    EXPECT_STREQ(o.root, "/games");
    EXPECT_EQ(o.root_given, 1);
    EXPECT_STREQ(o.start_dir, "\\RUN");
    EXPECT_EQ(o.headless, 1);
    EXPECT_EQ(rec_enabled, 0);
    rec_enabled = 1;
}

TEST(StartParse, Defaults)
{
    Argv a({"--headless"});
    StartOptions o = {};
    EXPECT_EQ(start_parse(a.argc(), a.argv(), &o), -1);
    EXPECT_STREQ(o.program, "VRK.EXE");
    EXPECT_STREQ(o.tail, "");
    EXPECT_STREQ(o.root, ".");
    EXPECT_EQ(o.root_given, 0);
}

TEST(StartParse, ValueTakesTheNextArgumentWhateverItIs)
{
    Argv a({"--game", "--headless", "X.COM"});
    StartOptions o = {};
    EXPECT_EQ(start_parse(a.argc(), a.argv(), &o), -1);
    EXPECT_STREQ(o.game_id, "--headless");
    EXPECT_EQ(o.headless, 0);
    EXPECT_STREQ(o.program, "X.COM");
}

TEST(StartParse, TailIsCutAt255)
{
    std::string big(200, 'a');
    Argv a({"P.EXE", big.c_str(), big.c_str()});
    StartOptions o = {};
    EXPECT_EQ(start_parse(a.argc(), a.argv(), &o), -1);
    EXPECT_EQ(strlen(o.tail), (size_t)TAIL_MAX);
    EXPECT_EQ(o.tail[200], ' ');
}

TEST(StartParse, HelpAndErrors)
{
    struct Row {
        std::initializer_list<const char *> args;
        int rc;
    } rows[] = {
        {{"--help"}, EXIT_OK},
        {{"--headless", "-h"}, EXIT_OK},
        {{"--root"}, EXIT_START_FAILED},            // value missing
        {{"--debug"}, EXIT_START_FAILED},
        {{"--headles", "X.EXE"}, EXIT_START_FAILED}, // mistyped option
    };
    for (const Row &r : rows) {
        Argv a(r.args);
        StartOptions o = {};
        testing::internal::CaptureStderr();
        int rc = start_parse(a.argc(), a.argv(), &o);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, r.rc) << *r.args.begin();
        if (rc == EXIT_OK)
            EXPECT_EQ(err.rfind("usage: halverd [options] [PROGRAM [args...]]\n", 0), 0u);
        else
            EXPECT_NE(err.find("halverd: "), std::string::npos);
    }
}

TEST(StartParse, DateSetsOrRemovesTheVariable)
{
    StartOptions o = {};
    Argv set({"--date", "1995-06-30", "X.EXE"});
    EXPECT_EQ(start_parse(set.argc(), set.argv(), &o), -1);
    ASSERT_NE(getenv("VRK_DATE"), nullptr);
    EXPECT_STREQ(getenv("VRK_DATE"), "1995-06-30");
    Argv clear({"--date", "", "X.EXE"});
    EXPECT_EQ(start_parse(clear.argc(), clear.argv(), &o), -1);
    EXPECT_EQ(getenv("VRK_DATE"), nullptr);
}

TEST(StartMain, TranslatorUsage)
{
    char path[] = "/tmp/halverd_exeXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    struct Row {
        std::initializer_list<const char *> args;
    } rows[] = {
        {{"--recomp"}},
        {{"--recomp", path, "--name", "N", "--ident", "I"}},            // no --out
        {{"--recomp", "--name", "N", "--ident", "I", "--out", "o.c"}},  // no executable
        {{"--recomp", "/nonexistent/x.exe", "--name", "N", "--ident", "I", "--out", "o.c"}},
    };
    for (const Row &r : rows) {
        Argv a(r.args);
        testing::internal::CaptureStderr();
        int rc = start_main(a.argc(), a.argv());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, EXIT_SIGNAL);
        EXPECT_EQ(err, "usage: --recomp EXE --name N --ident ID --out F [--trace T]\n");
    }
    unlink(path);
}

TEST(StartMainDeath, SignalDumpsAndExitsWithTwo)
{
    EXPECT_EXIT(
        {
            signal(SIGTERM, on_term);
            raise(SIGTERM);
        },
        testing::ExitedWithCode(EXIT_SIGNAL), "\\[signal\\] CS:IP=");
}

}

namespace {

TEST(HostPaths, BasePathIsTheExecutablesFolder)
{
    const char *base = host_base_path();
    ASSERT_NE(base, nullptr);
    char exe[1024];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    std::string folder(exe);
    folder.erase(folder.rfind('/') + 1);
    EXPECT_EQ(std::string(base), folder);
}

}
