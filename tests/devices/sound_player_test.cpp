// The DOS sound programs run headless through the player with VRK_WAVOUT:
// their exit codes and output, and the WAV file the player finishes at its
// shutdown.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

std::vector<uint8_t> slurp_bytes(const std::string &path)
{
    std::vector<uint8_t> b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return b;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

TEST(SoundPlayer, ProgramsPlayIntoAValidWavFile)
{
    char tmpl[] = "/tmp/halverd_sndXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    struct Row {
        const char *program, *out;
        double min_seconds;         // how long the program plays at least
    } rows[] = {
        {"SBDETECT.COM", "SB 3.02 OPL ok\r\n", 0.0},
        {"SBDMA.COM", "DMA ok\r\n", 0.5},
        {"FMNOTES.COM", "FM done\r\n", 4.5},
    };
    for (const Row &r : rows) {
        std::string wav = root + "/out.wav";
        std::string cmd = std::string("cp '") + HALVERD_DOS_DIR + "/" + r.program + "' '" + root + "' && VRK_WAVOUT='" +
                          wav + "' '" HALVERD_BINARY_DIR "/halverd' --headless --root '" + root + "' " + r.program +
                          " 2>'" + root + "/err.txt'";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_TRUE(p);
        std::string out;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int st = pclose(p);
        std::vector<uint8_t> e = slurp_bytes(root + "/err.txt");
        std::string err(e.begin(), e.end());
        ASSERT_TRUE(WIFEXITED(st)) << r.program << "\n" << err;
        EXPECT_EQ(WEXITSTATUS(st), 0) << r.program << "\n" << err;
        EXPECT_EQ(out, r.out) << r.program << "\n" << err;

        std::vector<uint8_t> b = slurp_bytes(wav);
        ASSERT_GE(b.size(), 44u) << r.program;
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
        EXPECT_EQ(le32(&b[4]), b.size() - 8) << r.program;
        EXPECT_EQ(le32(&b[40]), b.size() - 44) << r.program;   // the final frame count
        EXPECT_EQ(le32(&b[24]), 44100u);
        EXPECT_GE((double)(b.size() - 44) / 2, r.min_seconds * 44100) << r.program;
        remove(wav.c_str());
    }
    std::string rm = "rm -rf '" + root + "'";
    ASSERT_EQ(system(rm.c_str()), 0);
}

}  // namespace
