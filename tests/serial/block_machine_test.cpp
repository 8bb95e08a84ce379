// The block protocol's state table, driven with scripted answers and no I/O. Each step feeds
// one receive event (or a timer tick) and compares what the machine wants done, written as a
// trace: "send <block>", "pause <ms>", "deliver <data>", "restore", "minimise", "close".
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "terminal/block_machine.h"
#include "terminal/command_table.h"

namespace orva::terminal {
namespace {

using test::Hex;
using test::ToHex;

// An answer block: NAD 0x21, the PCB, LEN, INF and a correct LRC.
std::vector<std::uint8_t> Answer(std::uint8_t pcb, const std::string& infHex) {
    const std::vector<std::uint8_t> inf = Hex(infHex);
    std::vector<std::uint8_t> block(inf.size() + 4);
    block[0] = 0x21;
    block[1] = pcb;
    block[2] = static_cast<std::uint8_t>(inf.size());
    std::copy(inf.begin(), inf.end(), block.begin() + 3);
    AppendLrc(block, block.size() - 1);
    return block;
}

std::string Trace(const ProtocolEffects& effects) {
    std::string out;
    for (const ProtocolEffect& e : effects) {
        if (!out.empty())
            out += " | ";
        switch (e.kind) {
            case ProtocolEffect::Kind::Send:
                out += "send " + ToHex(e.bytes);
                break;
            case ProtocolEffect::Kind::Pause:
                out += "pause " + std::to_string(e.milliseconds);
                break;
            case ProtocolEffect::Kind::Deliver:
                out += "deliver " + ToHex(e.bytes);
                break;
            case ProtocolEffect::Kind::RestoreWindow:
                out += "restore";
                break;
            case ProtocolEffect::Kind::Minimise:
                out += "minimise";
                break;
            case ProtocolEffect::Kind::PostClose:
                out += "close";
                break;
        }
    }
    return out;
}

class BlockMachineTest : public ::testing::Test {
  protected:
    std::string Feed(const std::vector<std::uint8_t>& bytes, ProtocolFlags flags = {}) {
        return Trace(machine.OnReceive(bytes, flags));
    }
    std::string Tick(ProtocolFlags flags = {}) { return Trace(machine.OnTick(flags)); }

    // Start, resync, card present, SELECT answered: the READ BINARY is out, state 3.
    void ReachRead() {
        machine.Start();
        Feed(Answer(0xE0, "90 00"));
        Feed(Answer(0x00, "90 00"));
        Feed(Answer(0x40, "90 00"));
        ASSERT_EQ(machine.State(), ProtocolState::Read);
    }

    void Restart() { machineSlot.emplace(); }
    std::size_t Collected() const { return machine.CollectedData().size(); }

    std::optional<BlockMachine> machineSlot{std::in_place};
    BlockMachine& machine = *machineSlot;
};

TEST(AppendLrcTest, StoresTheExclusiveOrBehindTheBytes) {
    std::vector<std::uint8_t> block = {0x12, 0xC0, 0x00, 0xFF};
    EXPECT_EQ(AppendLrc(block, 3), 0xD2);
    EXPECT_EQ(ToHex(block), "12 C0 00 D2");
    std::vector<std::uint8_t> one = {0x5A, 0x00};
    EXPECT_EQ(AppendLrc(one, 1), 0x5A);
}

// One card from the first block to the delivery, block for block; the first blocks are those
// of the worked example of a start with a card already in the terminal.
TEST_F(BlockMachineTest, OneCardBlockForBlock) {
    const ProtocolEffects start = machine.Start();
    EXPECT_EQ(Trace(start), "send 12 C0 00 D2");
    EXPECT_EQ(start[0].prompt, "");

    struct Step {
        std::vector<std::uint8_t> answer;
        std::string trace;
        int state;
    };
    const Step steps[] = {
        {Answer(0xE0, ""), "send 12 40 00 52", 0},
        {Answer(0xE0, "90 00"), "send 12 00 06 20 12 01 00 01 01 27", 1},
        {Answer(0x00, "62 00"), "send 12 40 06 20 12 01 00 01 01 67", 1},
        {Answer(0x40, "90 00"), "send 02 00 0B 00 A4 04 00 06 D2 76 00 00 01 01 0B", 2},
        {Answer(0x00, "90 00"), "restore | send 02 40 05 00 B0 00 00 00 F7", 3},
        {Answer(0x20, "80 03 41 42"), "send 02 90 00 92", 4},
        {Answer(0x60, "43 44"), "send 02 80 00 82", 4},
        {Answer(0x00, "8E 01 5A 90 00"), "send 02 90 00 92", 5},
        {Answer(0x40, "90 00"), "pause 500 | send 02 00 04 00 0E 00 00 08", 6},
        {Answer(0x00, "90 00"), "send 12 40 06 20 15 01 00 01 01 60", 7},
        {Answer(0x40, "62 00"), "pause 200 | send 12 00 06 20 15 01 00 01 01 20", 7},
        {Answer(0x00, "90 00"), "deliver 80 03 41 42 43 44 8E 01 5A 90 00 | close", 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(ToHex(step.answer));
        EXPECT_EQ(Feed(step.answer), step.trace);
        EXPECT_EQ(RowOf(machine.State()), step.state);
    }
    EXPECT_EQ(Collected(), 0u) << "the data are handed over and gone";
}

TEST_F(BlockMachineTest, PromptsGoWithTheirBlocks) {
    machine.Start();
    const ProtocolEffects request = machine.OnReceive(Answer(0xE0, "90 00"), {});
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].prompt, "Versichertenkarte einstecken");
}

// In state 0 only LEN matters; in state 1 only an answer starting 62 00 repeats the request.
TEST_F(BlockMachineTest, ResyncAndCardRequestDecideOnLengthAndFirstBytes) {
    machine.Start();
    EXPECT_EQ(Feed(Answer(0xE0, "62 00 00")), "send 12 40 00 52");
    EXPECT_EQ(Feed(Answer(0xE0, "69 00")), "send 12 00 06 20 12 01 00 01 01 27");
    EXPECT_EQ(machine.State(), ProtocolState::RequestIcc);
    EXPECT_EQ(Feed(Answer(0x00, "62 00 11 22")), "send 12 40 06 20 12 01 00 01 01 67");
    // An error status is no "card absent": the SELECT follows.
    Feed(Answer(0x00, "6A 00"));
    EXPECT_EQ(machine.State(), ProtocolState::SelectKvk);
}

// A block without INF carries no status word: it never counts as 62 00, whatever the bytes
// left in the receive buffer by the previous answer say.
TEST_F(BlockMachineTest, AnAnswerWithoutStatusDoesNotReuseTheLastOne) {
    machine.Start();
    Feed(Answer(0xE0, "90 00"));
    Feed(Answer(0x00, "62 00"));
    Feed(Answer(0x00, ""));
    EXPECT_EQ(machine.State(), ProtocolState::SelectKvk);
}

struct ChainCase {
    const char* name;
    std::vector<std::vector<std::uint8_t>> answers;
    std::vector<std::string> acks;  // the block sent after each answer
    std::string data;
};

void PrintTo(const ChainCase& c, std::ostream* os) {
    *os << c.name;
}

class ChainTest : public BlockMachineTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(ChainTest, CollectsTheChainAndEndsItAtTheRightBlock) {
    ReachRead();
    const ChainCase& c = GetParam();
    ASSERT_EQ(c.answers.size(), c.acks.size());
    for (std::size_t i = 0; i < c.answers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Feed(c.answers[i]), "send " + c.acks[i]);
    }
    EXPECT_EQ(machine.State(), ProtocolState::ReadLast);
    EXPECT_EQ(ToHex(std::vector<std::uint8_t>(machine.CollectedData().begin(),
                                              machine.CollectedData().end())),
              c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ChainTest,
    ::testing::Values(
        ChainCase{"OneBlock",
                  {Answer(0x00, "80 01 41 8E 01 07 90 00")},
                  {"02 90 00 92"},
                  "80 01 41 8E 01 07 90 00"},
        ChainCase{"EndsByPcb",
                  {Answer(0x20, "80 02"), Answer(0x60, "41 42"), Answer(0x00, "90 00")},
                  {"02 90 00 92", "02 80 00 82", "02 90 00 92"},
                  "80 02 41 42 90 00"},
        ChainCase{"SequenceBitOnTheLastAnswer",
                  {Answer(0x20, "80 02"), Answer(0x40, "41 42 90 00")},
                  {"02 90 00 92", "02 80 00 82"},
                  "80 02 41 42 90 00"},
        // The checksum tag ends the chain although the terminal says more follows.
        ChainCase{"EndsByChecksumTag",
                  {Answer(0x20, "80 01 41"), Answer(0x60, "8E 01 07 00")},
                  {"02 90 00 92", "02 80 00 82"},
                  "80 01 41 8E 01 07 00"},
        // A tag at the end of a block: the read goes on until its checksum is in.
        ChainCase{"ChecksumTagSplitOverBlocks",
                  {Answer(0x20, "80 01 41 8E"), Answer(0x60, "01"), Answer(0x20, "07")},
                  {"02 90 00 92", "02 80 00 82", "02 90 00 92"},
                  "80 01 41 8E 01 07"},
        ChainCase{"OneByteBlocks",
                  {Answer(0x20, "80"), Answer(0x60, "8E"), Answer(0x20, "01"), Answer(0x60, "07")},
                  {"02 90 00 92", "02 80 00 82", "02 90 00 92", "02 80 00 82"},
                  "80 8E 01 07"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BlockMachineTest, RefusedReadRestartsWithoutTheDataCollected) {
    for (const bool chained : {false, true}) {
        SCOPED_TRACE(chained);
        Restart();
        ReachRead();
        if (chained) {
            Feed(Answer(0x20, "80 03 41"));
            ASSERT_EQ(machine.State(), ProtocolState::ReadChained);
        }
        // PCB says more data: the 69 00 still wins.
        const std::string trace = Feed(Answer(0x20, "69 00"));
        EXPECT_EQ(trace, "pause 500 | send 12 00 00 12");
        EXPECT_EQ(machine.State(), ProtocolState::Resync);
        EXPECT_EQ(Collected(), 0u);
        EXPECT_EQ(machine.ReceiveEvents(), 0);
    }
}

TEST_F(BlockMachineTest, PiecesOfAnAnswerWaitForTheWholeBlock) {
    machine.Start();
    const std::vector<std::uint8_t> answer = Answer(0xE0, "90 00");
    EXPECT_EQ(Feed({answer[0]}), "");
    EXPECT_EQ(Feed({answer[1], answer[2]}), "");
    EXPECT_EQ(Feed({answer[3], answer[4]}), "");
    EXPECT_EQ(Feed({}), "") << "an event that reads nothing";
    EXPECT_EQ(Feed({answer[5]}), "send 12 40 06 20 12 01 00 01 01 67");
    EXPECT_EQ(machine.ReceiveEvents(), 5);
    EXPECT_EQ(machine.ReceivedCount(), 0u);
}

// Two blocks in one receive event: the first is acted on, then the protocol starts over and
// the second is dropped; so are the data collected so far.
TEST_F(BlockMachineTest, SurplusBytesRestartAfterTheStatesOwnStep) {
    ReachRead();
    std::vector<std::uint8_t> both = Answer(0x20, "80 03 41");
    const std::vector<std::uint8_t> second = Answer(0x60, "42 43");
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(Feed(both), "send 02 90 00 92 | send 12 00 00 12");
    EXPECT_EQ(machine.State(), ProtocolState::Resync);
    EXPECT_EQ(Collected(), 0u);

    // One stray byte behind the last eject answer: delivered first, then row 0 still follows.
    Restart();
    ReachRead();
    Feed(Answer(0x00, "80 01 41 8E 01 07 90 00"));
    Feed(Answer(0x00, "90 00"));
    Feed(Answer(0x00, "90 00"));
    std::vector<std::uint8_t> eject = Answer(0x00, "90 00");
    eject.push_back(0xFF);
    EXPECT_EQ(Feed(eject), "deliver 80 01 41 8E 01 07 90 00 | close | send 12 00 00 12");
}

// A receive buffer that fills up takes no more than 260 bytes.
TEST_F(BlockMachineTest, ReceiveBufferNeverOverflows) {
    machine.Start();
    std::vector<std::uint8_t> flood(300, 0x00);
    flood[2] = 0xFF;  // LEN 255: a block of 259 bytes
    EXPECT_EQ(Feed(flood), "send 12 40 00 52 | send 12 00 00 12");
    EXPECT_EQ(machine.ReceivedCount(), 0u);
}

// A small data buffer shows what a chain longer than the 16384-byte buffer does: the block
// that does not fit restarts the cycle and the data are dropped, never cut.
TEST(BlockMachineBoundsTest, ChainLongerThanTheDataBufferRestartsTheCycle) {
    BlockMachine machine{12};
    machine.Start();
    machine.OnReceive(Answer(0xE0, "90 00"), {});
    machine.OnReceive(Answer(0x00, "90 00"), {});
    machine.OnReceive(Answer(0x40, "90 00"), {});
    machine.OnReceive(Answer(0x20, "80 01 02 03 04 05 06 07"), {});
    EXPECT_EQ(machine.CollectedData().size(), 8u);
    const std::string trace = Trace(machine.OnReceive(Answer(0x60, "08 09 0A 0B 0C"), {}));
    EXPECT_EQ(trace.substr(0, 8), "send 12 ");
    EXPECT_EQ(machine.State(), ProtocolState::Resync);
    EXPECT_TRUE(machine.CollectedData().empty());
}

TEST_F(BlockMachineTest, TimerRestartsAStalledChainOnly) {
    ReachRead();
    EXPECT_EQ(Tick(), "") << "state 3 is not supervised";
    Feed(Answer(0x20, "80 03 41"));
    EXPECT_EQ(Tick(), "") << "a receive event since the last tick";
    EXPECT_EQ(Tick(), "send 12 00 00 12");
    EXPECT_EQ(machine.State(), ProtocolState::Resync);
    EXPECT_EQ(Collected(), 0u) << "the broken read's data are dropped";

    // In state 1 a quiet tick without complete data does nothing.
    Feed(Answer(0xE0, "90 00"));
    ASSERT_EQ(machine.State(), ProtocolState::RequestIcc);
    EXPECT_EQ(Tick(), "");
    EXPECT_EQ(Tick(), "");
    EXPECT_EQ(machine.State(), ProtocolState::RequestIcc);
}

TEST_F(BlockMachineTest, TimerRestartDropsAHalfBlock) {
    ReachRead();
    Feed(Answer(0x20, "80 03 41"));
    Feed({0x21, 0x60});
    Tick();
    EXPECT_EQ(Tick(), "send 12 00 00 12");
    Feed(Answer(0xE0, "90 00"));
    EXPECT_EQ(machine.State(), ProtocolState::RequestIcc);
}

struct CompleteCase {
    const char* name;
    std::string inf;
    bool complete;
};

void PrintTo(const CompleteCase& c, std::ostream* os) {
    *os << c.name;
}

class TimerDeliveryTest : public BlockMachineTest,
                          public ::testing::WithParamInterface<CompleteCase> {};

// Data that count as complete are delivered by the timer although the chain has not ended;
// the cycle then goes on with the erase and ends without a second, empty hand-over.
TEST_P(TimerDeliveryTest, DeliversCompleteDataEarlyAndOnlyOnce) {
    ReachRead();
    const std::vector<std::uint8_t> inf = Hex(GetParam().inf);
    Feed(Answer(0x20, GetParam().inf));
    ASSERT_TRUE(machine.State() == ProtocolState::ReadChained ||
                machine.State() == ProtocolState::ReadLast);
    const std::string trace = Tick({.endless = false, .invisible = true});
    if (!GetParam().complete) {
        EXPECT_EQ(trace, "");
        return;
    }
    EXPECT_EQ(trace, "deliver " + ToHex(inf) + " | minimise | send 02 00 04 00 0E 00 00 08");
    EXPECT_EQ(machine.State(), ProtocolState::Erase);
    EXPECT_EQ(Collected(), 0u);
    Feed(Answer(0x00, "90 00"));
    EXPECT_EQ(Feed(Answer(0x40, "90 00")), "close");

    // The next card's cycle delivers normally again.
    Restart();
    ReachRead();
    Feed(Answer(0x00, "80 01 41 8E 01 07"));
    Feed(Answer(0x40, "90 00"));
    Feed(Answer(0x00, "90 00"));
    EXPECT_EQ(Feed(Answer(0x40, "90 00")), "deliver 80 01 41 8E 01 07 | close");
}

std::string Repeat(const std::string& byte, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + byte;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Completeness, TimerDeliveryTest,
    ::testing::Values(CompleteCase{"ChecksumAndTrailerTags", "41 8E 42 8D", true},
                      CompleteCase{"FirstFieldThenChecksum", "00 80 41 42 43 8E", true},
                      CompleteCase{"ChecksumBeforeOffsetFour", "80 8E 41 42", false},
                      CompleteCase{"NoTags", "80 41 42 43", false},
                      CompleteCase{"LongText", Repeat("41", 218), true},
                      CompleteCase{"TextOf217", Repeat("41", 217), false}),
    [](const auto& info) { return std::string(info.param.name); });

// Stale tag bytes left by a refused read (its length is 0) are no data to hand over.
TEST_F(BlockMachineTest, TimerHandsOverNoEmptyData) {
    ReachRead();
    Feed(Answer(0x20, "80 41 8E 8D"));
    Feed(Answer(0x20, "69 00"));
    ASSERT_EQ(Collected(), 0u);
    Feed(Answer(0xE0, "90 00"));
    ASSERT_EQ(machine.State(), ProtocolState::RequestIcc);
    EXPECT_EQ(Tick(), "");
    EXPECT_EQ(machine.State(), ProtocolState::RequestIcc);
}

TEST_F(BlockMachineTest, EndlessAndInvisible) {
    struct Case {
        ProtocolFlags flags;
        std::string afterDelivery;
    };
    const Case cases[] = {
        {{.endless = false, .invisible = false}, "close"},
        {{.endless = false, .invisible = true}, "close"},
        {{.endless = true, .invisible = false}, "pause 200 | send 12 00 00 12"},
        {{.endless = true, .invisible = true}, "minimise | pause 200 | send 12 00 00 12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.afterDelivery);
        Restart();
        ReachRead();
        Feed(Answer(0x00, "80 01 41 8E 01 07"), c.flags);
        Feed(Answer(0x40, "90 00"), c.flags);
        Feed(Answer(0x00, "90 00"), c.flags);
        EXPECT_EQ(Feed(Answer(0x40, "90 00"), c.flags),
                  "deliver 80 01 41 8E 01 07 | " + c.afterDelivery);
        EXPECT_EQ(machine.State(), ProtocolState::Resync);
        if (c.flags.endless) {
            // The next card: the window comes back when its SELECT is answered.
            Feed(Answer(0xE0, "90 00"), c.flags);
            Feed(Answer(0x00, "90 00"), c.flags);
            EXPECT_EQ(Feed(Answer(0x40, "90 00"), c.flags).substr(0, 7), "restore");
        }
    }
}

// The I-block sequence bit alternates for the life of the machine; R-blocks do not advance
// it and a restart does not reset it.
TEST_F(BlockMachineTest, SequenceBitRunsAcrossRestarts) {
    ReachRead();  // sent C0, 40, 00, 40 (SELECT at 00, READ at 40)
    Feed(Answer(0x20, "80"));
    EXPECT_EQ(machine.ControlByte(), 0x00);
    Feed(Answer(0x20, "69 00"));
    EXPECT_EQ(machine.ControlByte(), 0x40);
    EXPECT_EQ(Feed(Answer(0xE0, "90 00")), "send 12 40 06 20 12 01 00 01 01 67");
}

}  // namespace
}  // namespace orva::terminal
