// The run loop with the interpreter: small programs in memory, host services
// behind stubs, the timer on a fake clock.
#include "machine/hle.h"

#include "machine/pic.h"
#include "machine_fixture.h"

namespace {

enum : uint16_t {
    CODE = 0x1000,
    STACK = 0x2000,
    DATA = 0x3000,
    STACK_TOP = 0x1000,
    TICKS = 0x0000,             // DATA word counted up by the test handlers
    IRQ0_HANDLER = 0x0400,
};

class RunLoopTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        CS = CODE;
        SS = STACK;
        SP = STACK_TOP;
        DS = DATA;
        // IRQ 0: count, end the interrupt, return.
        load(CODE, IRQ0_HANDLER, {
            0xFF, 0x06, 0x00, 0x00,     // inc word [0000]
            0x50,                       // push ax
            0xB8, 0x20, 0x00,           // mov ax,0020
            0xE6, 0x20,                 // out 20,al
            0x58,                       // pop ax
            0xCF,                       // iret
        });
        set_vector(0x08, CODE, IRQ0_HANDLER);
    }

    static uint16_t ticks() { return rd16(DATA, TICKS); }
    static void clear_if() { cpu.flags &= ~F_IF; }
};

TEST_F(RunLoopTest, ReturnPointNeedsTheStackBackAtTheMark)
{
    // sub: dec ax / jz done / call sub / done: ret -- the return point
    // "done" is reached once per level, each time with a higher SP.
    struct Case {
        uint16_t sp_top, sp_mark, sp_at_stop;
    } cases[] = {
        {0x1000, 0x0FFA, 0x0FFA},   // the deepest level is enough
        {0x1000, 0x0FFC, 0x0FFC},
        {0x1000, 0x0FFE, 0x0FFE},   // the outermost call's own return
        {0x0004, 0x0002, 0x0002},   // SP wraps below 0: FFFE is deeper than 0002
        {0x0004, 0x0000, 0x0000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "top " << c.sp_top << " mark " << c.sp_mark);
        load(CODE, 0x0003, {0x48, 0x74, 0x03, 0xE8, 0xFA, 0xFF, 0xC3});
        load(CODE, 0x0100, {0xE8, 0x00, 0xFF, 0x90});
        CS = CODE;
        IP = 0x0100;
        SP = c.sp_top;
        AX = 3;
        cpu_run_until(CODE, 0x0009, c.sp_mark);
        EXPECT_EQ(IP, 0x0009);
        EXPECT_EQ(SP, c.sp_at_stop);
        EXPECT_EQ(AX, 0);
    }
}

int service_calls;
void dos_service(void)
{
    service_calls++;
    AX = 0x1234;
}

// The program's INT 21h handler counts and chains to the previous vector.
void hook_int21(void)
{
    uint16_t old_off = rd16l(0x21 * 4), old_seg = rd16l(0x21 * 4 + 2);
    load(CODE, 0x0200, {
        0xFF, 0x06, 0x00, 0x00,             // inc word [0000]
        0x2E, 0xFF, 0x2E, 0x10, 0x02,       // jmp far cs:[0210]
    });
    wr16(CODE, 0x0210, old_off);
    wr16(CODE, 0x0212, old_seg);
    wr16l(0x21 * 4, 0x0200);
    wr16l(0x21 * 4 + 2, CODE);
}

TEST_F(RunLoopTest, HookedVectorChainsToTheService)
{
    service_calls = 0;
    hle_set_vector(0x21, dos_service, "int21");
    hook_int21();
    load(CODE, 0x0300, {0xCD, 0x21});       // int 21
    IP = 0x0300;
    cpu_run_until(CODE, 0x0302, STACK_TOP);
    EXPECT_EQ(service_calls, 1);
    EXPECT_EQ(AX, 0x1234);
    EXPECT_EQ(ticks(), 1) << "the program's handler ran";
    EXPECT_EQ(SP, STACK_TOP);
}

TEST_F(RunLoopTest, CpuIntHonoursTheRedirectedVector)
{
    service_calls = 0;
    hle_set_vector(0x21, dos_service, "int21");
    hook_int21();
    IP = 0x0302;                            // the return address
    cpu_int(0x21);
    EXPECT_EQ(service_calls, 1);
    EXPECT_EQ(ticks(), 1);
    EXPECT_EQ(CS, CODE);
    EXPECT_EQ(IP, 0x0302);
    EXPECT_EQ(SP, STACK_TOP);
}

uint16_t ticks_seen;
void note_ticks(void)
{
    ticks_seen = rd16(DATA, TICKS);
}

TEST_F(RunLoopTest, StiServiceTakesAPendingTickFirst)
{
    struct Case {
        uint8_t vector;
        bool via_cpu_int;
        uint16_t seen;          // ticks handled before the service ran
    } cases[] = {
        {0x21, false, 1},
        {0x21, true, 1},
        {0x16, false, 1},
        {0x60, false, 0},       // not a service that enables interrupts
        {0x60, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "INT " << int(c.vector) << (c.via_cpu_int ? " from the host" : ""));
        SetUp();
        hle_set_vector(c.vector, note_ticks, "svc");
        load(CODE, 0x0300, {0xCD, c.vector});
        IP = 0x0300;
        clear_if();
        pic_raise(0);
        ticks_seen = 0xFFFF;
        if (c.via_cpu_int) {
            IP = 0x0302;
            cpu_int(c.vector);
        } else {
            cpu_run_until(CODE, 0x0302, STACK_TOP);
        }
        EXPECT_EQ(ticks_seen, c.seen);
        EXPECT_EQ(ticks(), c.seen);
        EXPECT_EQ(flags_get() & F_IF, 0u) << "the caller's IF comes back";
        EXPECT_EQ(irq_pending, c.seen ? 0 : 1);
        EXPECT_EQ(SP, STACK_TOP);
        EXPECT_EQ(IP, 0x0302);
    }
}

void fail_with_carry(void)
{
    // A service that reports an error and disturbs IF and TF on the way.
    flags_set((flags_get() | F_CF | F_ZF | F_IF) & ~F_TF);
}

TEST_F(RunLoopTest, ServiceStatusSurvivesRetf2WithTheCallersIfAndTf)
{
    hle_set_vector(0x60, fail_with_carry, "int60");
    load(CODE, 0x0300, {0xCD, 0x60});
    for (uint32_t caller : {0x0002u, F_IF | 0x2u, F_TF | 0x2u, F_IF | F_TF | 0x2u}) {
        SCOPED_TRACE(testing::Message() << std::hex << "caller flags " << caller);
        IP = 0x0300;
        flags_set(caller);
        cpu_run_until(CODE, 0x0302, STACK_TOP);
        uint32_t f = flags_get();
        EXPECT_TRUE(f & F_CF);
        EXPECT_TRUE(f & F_ZF);
        EXPECT_EQ(f & (F_IF | F_TF), caller & (F_IF | F_TF));
        EXPECT_EQ(SP, STACK_TOP);
    }
}

TEST_F(RunLoopTest, HaltWithInterruptsOffGivesUpAfterTheRoundLimit)
{
    load(CODE, 0x0500, {0xF4});             // hlt
    IP = 0x0500;
    clear_if();
    cpu_run_until(CODE, 0x0501, STACK_TOP);
    EXPECT_EQ(fake_sleeps, 100001u);
    EXPECT_EQ(ticks(), 0);
}

TEST_F(RunLoopTest, HaltReturnsAtOnceWhenTheHostQuits)
{
    load(CODE, 0x0500, {0xF4});
    IP = 0x0500;
    clear_if();
    host_quit_requested = 1;
    cpu_run_until(CODE, 0x0501, STACK_TOP);
    EXPECT_EQ(fake_sleeps, 0u);
}

TEST_F(RunLoopTest, HaltWaitsForTheNextTimerTick)
{
    port_out8(0x43, 0x36);                  // 100 Hz
    port_out8(0x40, 0x9C);
    port_out8(0x40, 0x2E);
    load(CODE, 0x0500, {0xF4, 0x90});       // hlt / nop
    IP = 0x0500;
    cpu_run_until(CODE, 0x0502, STACK_TOP);
    EXPECT_EQ(fake_sleeps, 20u) << "10 ms in 0.5 ms sleeps";
    EXPECT_EQ(ticks(), 1);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0);
}

TEST_F(RunLoopTest, TimerInterruptReachesTheHandlerInMemory)
{
    load(CODE, 0x0600, {0xEB, 0xFE});       // jmp $
    load(CODE, 0x0700, {
        0xFF, 0x06, 0x00, 0x00,             // inc word [0000]
        0xEA, 0x00, 0x08, 0x00, 0x10,       // jmp far 1000:0800 (leaves the frame)
    });
    set_vector(0x08, CODE, 0x0700);
    IP = 0x0600;
    cpu_run_until(CODE, 0x0800, STACK_TOP - 6);
    EXPECT_EQ(ticks(), 1);
    EXPECT_EQ(rd16(SS, SP), 0x0600) << "interrupted in the loop";
    EXPECT_EQ(rd16(SS, SP + 2), CODE);
    EXPECT_TRUE(rd16(SS, SP + 4) & F_IF);
    EXPECT_FALSE(cpu.flags & F_IF);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0x01);
    EXPECT_GE(cpu.icount, (uint64_t)POLL_STEPS - 1) << "the timer is looked at in the periodic poll";
    EXPECT_LE(cpu.icount, (uint64_t)POLL_STEPS + 2);
}

TEST_F(RunLoopTest, CheckIrqRunsTheHandlerToCompletion)
{
    for (bool if_set : {true, false}) {
        SCOPED_TRACE(if_set ? "IF set" : "IF clear");
        SetUp();
        if (!if_set)
            clear_if();
        IP = 0x0900;
        pic_raise(0);
        cpu_check_irq();
        EXPECT_EQ(ticks(), if_set ? 1 : 0);
        EXPECT_EQ(CS, CODE);
        EXPECT_EQ(IP, 0x0900);
        EXPECT_EQ(SP, STACK_TOP);
        EXPECT_EQ(irq_pending, if_set ? 0 : 1);
    }
}

TEST_F(RunLoopTest, PollCountdownRunsOncePerStep)
{
    // Five NOPs up to the return point: the countdown loses one per step
    // and is reloaded in the step where it runs out, whatever its start.
    constexpr int STEPS = 5;
    struct Case {
        int start, after;
    } cases[] = {
        {100, 100 - STEPS},                 // no poll
        {STEPS + 1, 1},
        {STEPS, POLL_STEPS},                // runs out in the last step
        {3, POLL_STEPS - (STEPS - 3)},
        {2, POLL_STEPS - (STEPS - 2)},
        {1, POLL_STEPS - (STEPS - 1)},      // runs out in the first step
        {0, POLL_STEPS - (STEPS - 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start);
        load(CODE, 0x0000, {0x90, 0x90, 0x90, 0x90, 0x90});
        clear_if();
        IP = 0;
        cpu.icount = 0;
        poll_counter = c.start;
        cpu_run_until(CODE, STEPS, SP);
        EXPECT_EQ(poll_counter, c.after);
        EXPECT_EQ(cpu.icount, (uint64_t)STEPS);
    }
}

TEST_F(RunLoopTest, CheckIrqPollsWhenTheCountIsSpent)
{
    poll_counter = 0;
    IP = 0x0900;
    cpu_check_irq();                        // the poll raises the first tick
    EXPECT_EQ(poll_counter, POLL_STEPS - 6) << "reloaded, then the handler's six steps";
    EXPECT_EQ(ticks(), 1);
}

TEST_F(RunLoopTest, WaitSleepsAndPolls)
{
    machine_wait();
    EXPECT_EQ(fake_sleeps, 1u);
    EXPECT_EQ(fake_now_us, START_US + 500);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x01);
}

} // namespace
