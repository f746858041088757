// DOS programs of tests/dos that find and use expanded and extended memory,
// run headless through the player with its whole machine.
#include "../dos/host_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace {

class MemoryProgramTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/halverd_emsXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        std::string cmd = std::string("cp ") + HALVERD_DOS_DIR + "/EMSPROG.COM " + HALVERD_DOS_DIR +
                          "/XMSPROG.COM " + root;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    int run(const std::string &program, std::string &out, std::string &err)
    {
        std::string err_file = root + "/.stderr";
        std::string cmd = "cd '" + root + "' && '" HALVERD_BINARY_DIR "/halverd' --headless --root '" + root +
                          "' " + program + " 2>'" + err_file + "'";
        FILE *p = popen(cmd.c_str(), "r");
        if (!p)
            return -1;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int st = pclose(p);
        err = slurp(err_file);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

TEST_F(MemoryProgramTest, ProgramsFindAllocateAndUseTheMemory)
{
    struct Row {
        const char *program, *out;
    } rows[] = {
        {"EMSPROG.COM", "ems ok\r\n"},
        {"XMSPROG.COM", "xms ok\r\n"},
    };
    for (const Row &r : rows) {
        std::string out, err;
        EXPECT_EQ(run(r.program, out, err), 0) << r.program << "\n" << err;
        EXPECT_EQ(out, r.out) << r.program;
    }
}

}  // namespace
