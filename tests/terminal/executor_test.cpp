#include "terminal/executor.h"

#include <gtest/gtest.h>

#include "support/recording_ui.h"
#include "support/scripted_ctapi.h"
#include "support/test_support.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"

namespace orva::terminal {
namespace {

class ExecutorTest : public ::testing::Test {
  protected:
    void SetUp() override { core::ResetState(); }
    void TearDown() override { core::ResetState(); }
    test::RecordingUi ui;
    test::FastSleep sleep;
    test::ScriptedCtApi ctapi;
    Response response{};
    std::uint16_t lenr = 0;
};

TEST_F(ExecutorTest, LogsOneLinePerExchangeWithPromptAndAddresses) {
    ctapi.Expect("00 B0 00 00 00", "41 42 62 82").Expect("20 11 00 00 00", "90 00");
    ASSERT_EQ(ExecuteCommand(ctapi, kRowReadKvk, lenr, response), 0);
    EXPECT_EQ(lenr, 4);
    ASSERT_EQ(ExecuteCommand(ctapi, kRowResetCt, lenr, response), 0);
    EXPECT_EQ(ui.hexlist, (std::vector<std::string>{
                              "3: CT_data=0, Src=0, Dest=2, Len=4: 41 42 62 82 ",
                              "8: CT_data=0, Src=1, Dest=2, Len=2: 90 00 ",
                          }));
    // The reset's empty prompt clears the label.
    EXPECT_EQ(ui.status, (std::vector<std::string>{"Daten lesen ...", ""}));
    EXPECT_EQ(ui.fronts, 2);
    EXPECT_EQ(ui.repaints, 0);
}

// The log shows what the library left (lenr untouched: 9999 bytes of the buffer); the run sees
// no answer: no status word, no data.
TEST_F(ExecutorTest, FailedCallIsNoAnswerButTheLogShowsWhatTheLibraryLeft) {
    core::Options().debug = true;
    ctapi.Then({"20 11 00 00 00", "", -1, false, {}});
    response.fill(0xAB);
    response[0] = 0x90;  // the status word of an earlier answer
    EXPECT_EQ(ExecuteCommand(ctapi, kRowResetCt, lenr, response), -1);
    EXPECT_EQ(lenr, 0);
    EXPECT_EQ(response[0], 0);
    EXPECT_EQ(response[1], 0);
    ASSERT_EQ(ui.hexlist.size(), 1u);
    const std::string& line = ui.hexlist[0];
    const std::string head = "8: CT_data=-1, Src=2, Dest=1, Len=9999: ";
    ASSERT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.size(), head.size() + 3 * 9999u);  // the dump stops inside the buffer
    EXPECT_EQ(ui.repaints, 1);                        // repainted at once in Debug mode
}

TEST_F(ExecutorTest, MissingDataEntryPointIsNeverCalled) {
    CtApiLibrary none;  // nothing loaded
    EXPECT_EQ(ExecuteCommand(none, kRowRequestIcc, lenr, response), -1);
    EXPECT_EQ(lenr, 0);
    EXPECT_EQ(ui.hexlist, (std::vector<std::string>{"1: CT_data=-1, Src=2, Dest=1, Len=0: "}));
}

TEST_F(ExecutorTest, PinWaitRepeatsWithPinPromptUntilTheCardAnswers) {
    ctapi.Expect("00 B0 00 00 00", "69 00")
        .Expect("00 B0 00 00 00", "69 00")
        .Expect("00 B0 00 00 00", "60 01 02 90 00");
    ExecuteCommand(ctapi, kRowReadKvk, lenr, response);
    AwaitPinEntry(ctapi, kRowReadKvk, lenr, response);
    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(lenr, 5);
    EXPECT_EQ(sleep.Waits(), (std::vector<unsigned>{1000, 1000}));
    EXPECT_EQ(ui.status, (std::vector<std::string>{"Daten lesen ...", kPinPrompt, kPinPrompt}));
    EXPECT_EQ(CommandTable()[kRowReadKvk].Prompt(), "Daten lesen ...");
}

struct PinEndCase {
    const char* name;
    std::string answer;  // the response the wait starts from
};

TEST_F(ExecutorTest, PinWaitReturnsAtOnceWithoutStatus6900) {
    // 90 00, a one-byte answer and no answer at all: no wait and no exchange.
    const PinEndCase cases[] = {{"90 00", "90 00"}, {"short", "69"}, {"empty", ""}};
    for (const PinEndCase& c : cases) {
        SCOPED_TRACE(c.name);
        ctapi.Expect("00 B0 00 00 00", c.answer);
        response.fill(0);
        response[0] = 0x69;  // a stale status word before the buffer's start must not count
        ExecuteCommand(ctapi, kRowReadKvk, lenr, response);
        AwaitPinEntry(ctapi, kRowReadKvk, lenr, response);
    }
    EXPECT_TRUE(sleep.Waits().empty());
    EXPECT_EQ(ctapi.Remaining(), 0u);
}

TEST_F(ExecutorTest, AbortEndsThePinWaitAfterAtMostOneMoreExchange) {
    ctapi.Expect("00 B0 00 00 00", "69 00");
    ctapi.Then({"00 B0 00 00 00", "69 00", 0, true, [] { core::Reader().abort = true; }});
    ExecuteCommand(ctapi, kRowReadKvk, lenr, response);
    AwaitPinEntry(ctapi, kRowReadKvk, lenr, response);
    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(sleep.Waits().size(), 1u);
    EXPECT_EQ(CommandTable()[kRowReadKvk].Prompt(), "Daten lesen ...");
}

}  // namespace
}  // namespace orva::terminal
