// A DOS program of tests/dos that installs a mouse event handler, run on the
// interpreter with the BIOS, the VGA and the mouse driver: the .COM image is
// loaded like DOS would load it, and a stand-in INT 21h ends the run at
// function 4Ch and feeds one host mouse event each time the program polls
// for input (function 0Bh).
#include "../bios/bios_fixture.h"

#include "devices/mouse.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr uint16_t PSP_SEG = 0x1000, COM_START = 0x100, STACK = 0xFFFE;
constexpr uint16_t END_SEG = 0x0050, END_OFF = 0x0000;     // where an exit lands
constexpr uint16_t SP_ANY = 0x8000;     // the return point matches at any high SP
constexpr uint8_t DOS_EXIT = 0x4C, DOS_INPUT_STATUS = 0x0B;

int exit_code;
std::vector<std::function<void()>> host_events;
size_t next_event;

void int21_stand_in(void)
{
    if (AH == DOS_INPUT_STATUS) {
        if (next_event < host_events.size())
            host_events[next_event++]();
        AL = 0;
        return;
    }
    if (AH != DOS_EXIT)
        return;
    exit_code = AL;
    wr16(SS, SP, END_OFF);
    wr16(SS, (uint16_t)(SP + 2), END_SEG);
}

class MouseProgramTest : public BiosTest {
protected:
    void SetUp() override
    {
        BiosTest::SetUp();
        mouse_init();
        next_event = 0;
    }

    int run(const char *name)
    {
        std::string path = std::string(HALVERD_DOS_DIR) + "/" + name;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            return -1;
        std::vector<uint8_t> image(0x10000 - COM_START);
        size_t n = fread(image.data(), 1, image.size(), f);
        fclose(f);
        for (size_t i = 0; i < n; i++)
            wr8(PSP_SEG, (uint16_t)(COM_START + i), image[i]);
        hle_set_vector(0x21, int21_stand_in, "int21 stand-in");
        exit_code = -1;
        CS = DS = ES = SS = PSP_SEG;
        SP = STACK;
        IP = COM_START;
        cpu.flags |= F_IF;
        cpu_run_until(END_SEG, END_OFF, SP_ANY);
        return exit_code;
    }
};

TEST_F(MouseProgramTest, HandlerInstalledWithFunction0ChSeesTheEvents)
{
    host_events = {
        [] { mouse_host_motion(5, 0); },
        [] { mouse_host_button(MOUSE_LEFT, 1); },
        [] { mouse_host_button(MOUSE_LEFT, 0); },
        [] { mouse_host_button(MOUSE_RIGHT, 1); },  // not in the program's mask
    };
    EXPECT_EQ(run("MOUSEEV.COM"), 0);
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0);
}

TEST_F(MouseProgramTest, WithoutEventsTheProgramGivesUp)
{
    host_events = {[] { mouse_host_motion(5, 0); }, [] { mouse_host_motion(0, 3); }};
    EXPECT_EQ(run("MOUSEEV.COM"), 1);
}

} // namespace
