#include "machine/hle.h"

#include "machine/hle_table.h"
#include "machine_fixture.h"

#include <vector>

namespace {

using HleTest = MachineTest;

int calls;
void count_call(void) { calls++; }

std::vector<uint8_t> stub_bytes(uint16_t off, int n)
{
    std::vector<uint8_t> v;
    for (int i = 0; i < n; i++)
        v.push_back(rd8(HLE_SEG, (uint16_t)(off + i)));
    return v;
}

TEST_F(HleTest, StubsFillSlotsFrom0100)
{
    EXPECT_EQ(hle_add(count_call, 1, "first"), 0x0100);
    EXPECT_EQ(hle_add(count_call, 0, "second"), 0x0108);
    EXPECT_EQ(stub_bytes(0x0100, 7), (std::vector<uint8_t>{0xFE, 0x38, 0x00, 0x00, 0xCA, 0x02, 0x00}));
    EXPECT_EQ(stub_bytes(0x0108, 5), (std::vector<uint8_t>{0xFE, 0x38, 0x01, 0x00, 0xCB}));
    EXPECT_STREQ(hle_name(1), "second");
    EXPECT_EQ(hle_name(2), nullptr);

    machine_init();
    EXPECT_EQ(hle_add(count_call, 1, "again"), 0x0100) << "a reset empties the table";
    EXPECT_EQ(hle_id_of(0x0100), 0);
    EXPECT_EQ(hle_id_of(0x0108), -1);
}

TEST_F(HleTest, StubLookup)
{
    uint16_t irq = hle_add(count_call, 1, "irq");
    uint16_t far = hle_add(count_call, 0, "far");
    struct Case {
        uint16_t off;
        int id;
        int direct;
    } cases[] = {
        {irq, 0, 1},
        {far, 1, 0},
        {(uint16_t)(irq + 4), -1, 0},   // inside a stub
        {0x0200, -1, 0},                // free slot
        {0x0000, -1, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hle_id_of(c.off), c.id) << std::hex << c.off;
        EXPECT_EQ(hle_is_direct(c.off), c.direct) << std::hex << c.off;
    }
}

TEST_F(HleTest, SetVectorPointsTheVectorAtTheStub)
{
    hle_add(count_call, 1, "filler");
    uint16_t off = hle_set_vector(0x21, count_call, "int21");
    EXPECT_EQ(off, 0x0108);
    EXPECT_EQ(rd16l(0x21 * 4), 0x0108);
    EXPECT_EQ(rd16l(0x21 * 4 + 2), HLE_SEG);
    EXPECT_TRUE(hle_is_direct(off));
}

TEST_F(HleTest, TrampolineLayout)
{
    const uint8_t orig[5] = {0x55, 0x8B, 0xEC, 0x83, 0xEC};     // push bp; mov bp,sp; sub sp,..
    uint16_t off = hle_add_trampoline(count_call, "hook", orig, 5, 0x1234, 0x5678);
    EXPECT_EQ(off, 0x0100);
    EXPECT_EQ(stub_bytes(off, 14), (std::vector<uint8_t>{0xFE, 0x38, 0x00, 0x00, 0x55, 0x8B, 0xEC, 0x83,
                                                         0xEC, 0xEA, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_FALSE(hle_is_direct(off));
    EXPECT_EQ(hle_id_of(off), 0);
    EXPECT_EQ(hle_add(count_call, 1, "next"), 0x0118) << "5 displaced bytes take 24 bytes of slots";
}

TEST_F(HleTest, TrampolineSlotUse)
{
    // One slot for the escape plus (n + 12) rounded down to slots.
    struct Case {
        int n;
        uint16_t next;
    } cases[] = {{0, 0x0110}, {3, 0x0110}, {4, 0x0118}, {5, 0x0118}, {12, 0x0120}, {19, 0x0120}, {20, 0x0128}};
    const uint8_t orig[32] = {};
    for (const Case &c : cases) {
        machine_init();
        hle_add_trampoline(count_call, "hook", orig, c.n, 0, 0);
        EXPECT_EQ(hle_add(count_call, 1, "next"), c.next) << c.n << " displaced bytes";
        // The far jump always ends inside the trampoline's slots.
        EXPECT_LE(0x0100 + 4 + c.n + 5, c.next);
    }
}

TEST_F(HleTest, BadTrampolineIsFatal)
{
    const uint8_t orig[40] = {};
    EXPECT_EXIT(hle_add_trampoline(count_call, "hook", orig, 33, 0, 0), testing::ExitedWithCode(3),
                "FATAL: HLE trampoline hook: bad displaced code \\(33 bytes\\)");
    EXPECT_EXIT(hle_add_trampoline(count_call, "hook", nullptr, 5, 0, 0), testing::ExitedWithCode(3),
                "bad displaced code");
}

TEST_F(HleTest, StubsStayClearOfTheEmsSegment)
{
    // Stubs 0-479 fill F000:0100-0FFF; the EMS driver owns F100:0000 onwards.
    for (int i = 0; i < 480; i++)
        hle_add(count_call, 1, "s");
    EXPECT_EQ(hle_add(count_call, 1, "s"), 0x1100);
    for (int i = 481; i < HLE_MAX; i++)
        EXPECT_LT(hle_add(count_call, 1, "s"), 0x6000);
}

TEST_F(HleTest, TooManyCallbacksIsFatal)
{
    for (int i = 0; i < HLE_MAX; i++)
        hle_add(count_call, 1, "s");
    EXPECT_EXIT(hle_add(count_call, 1, "one too many"), testing::ExitedWithCode(3),
                "FATAL: too many HLE callbacks");
}

TEST_F(HleTest, BadCallbackIsFatal)
{
    hle_add(count_call, 1, "only");
    EXPECT_EXIT(hle_callback(1), testing::ExitedWithCode(3), "FATAL: bad HLE callback 1");
    EXPECT_EXIT(hle_call_direct(0x0108), testing::ExitedWithCode(3), "no interrupt-style HLE stub");
    EXPECT_EXIT(hle_mark_sti(0x0104), testing::ExitedWithCode(3), "no HLE stub at F000:0104");
}

// Interrupt style: the frame's FLAGS give back IF and TF; the status flags
// stay as the service left them.
uint32_t service_sets;
void set_status(void)
{
    flags_set(service_sets);
    calls++;
}

TEST_F(HleTest, InterruptStyleRestoresOnlyIfAndTf)
{
    struct Case {
        uint16_t frame_flags;   // the caller's FLAGS in the frame
        uint32_t service;       // what the service leaves
        uint32_t want;
    } cases[] = {
        {0x0202, 0x0003, 0x0203},               // CF set, caller's IF back
        {0x0302, 0x0242, 0x0342},               // ZF set, caller's IF and TF back
        {0x08D7, 0x0002, 0x0002},               // no status from the frame, IF stays clear
        {0x0002, 0x0703, 0x0403},               // the service's IF and TF are dropped, DF kept
    };
    uint16_t off = hle_add(set_status, 1, "svc");
    for (const Case &c : cases) {
        SS = 0x2000;
        SP = 0x0100;
        wr16(SS, SP, 0x1111);                   // IP
        wr16(SS, SP + 2, 0x2222);               // CS
        wr16(SS, SP + 4, c.frame_flags);
        service_sets = c.service;
        hle_callback((uint16_t)hle_id_of(off));
        EXPECT_EQ(flags_get(), c.want) << std::hex << c.frame_flags << " " << c.service;
        EXPECT_EQ(SP, 0x0100);
    }
}

TEST_F(HleTest, FarCallStyleLeavesFlagsAlone)
{
    uint16_t off = hle_add(set_status, 0, "far");
    SS = 0x2000;
    SP = 0x0100;
    wr16(SS, SP + 4, 0x0000);
    service_sets = 0x0301;
    hle_callback((uint16_t)hle_id_of(off));
    EXPECT_EQ(flags_get(), 0x0303u);
}

TEST_F(HleTest, CpuIntCallsAnUntouchedServiceWithoutAFrame)
{
    calls = 0;
    hle_set_vector(0x60, set_status, "int60");
    service_sets = 0x0203;
    CS = 0x1000;
    IP = 0x0010;
    SS = 0x2000;
    SP = 0x0100;
    wr16(SS, SP - 2, 0xBEEF);
    cpu_int(0x60);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CS, 0x1000);
    EXPECT_EQ(IP, 0x0010);
    EXPECT_EQ(SP, 0x0100);
    EXPECT_EQ(rd16(SS, SP - 2), 0xBEEF) << "nothing pushed";
    EXPECT_TRUE(CF_());
}

} // namespace
