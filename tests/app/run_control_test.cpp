// Start-up in every outcome, and the handlers that need no second thread.
#include "app/run_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app/command_line.h"
#include "core/state.h"
#include "fake_services.h"
#include "reading/reading_run.h"
#include "support/recording_ui.h"
#include "support/scripted_ctapi.h"
#include "support/test_support.h"

namespace orva::app {
namespace {

using terminal::LoadResult;
using Calls = std::vector<std::string>;

class RunControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        ResetRunControl();
        const char* old = std::getenv("TMP");
        oldTmp = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        test::SetEnvironment("TMP", tmp.Path().string().c_str());
    }
    void TearDown() override {
        core::ResetState();
        ResetRunControl();
        test::SetEnvironment("TMP", oldTmp ? oldTmp->c_str() : nullptr);
    }
    void Create(std::vector<std::string> args) { CreateWith(services, std::move(args)); }

    // A fresh start for one row of a table: the state reset, and a window and services of its
    // own, which the row may set up before start-up runs.
    struct Fresh {
        test::RecordingUi ui;
        test::FakeServices fake{ui};
    };
    std::unique_ptr<Fresh> Restart() {
        TearDown();
        SetUp();
        return std::make_unique<Fresh>();
    }
    static void CreateWith(test::FakeServices& fake, std::vector<std::string> args) {
        args.insert(args.begin(), "orva");
        FormCreate(fake, args);
    }

    std::optional<std::string> oldTmp;
    test::TempFolder tmp{"orva-app"};
    test::RecordingUi ui;
    test::FakeServices services{ui};
};

struct StartupCase {
    const char* name;
    std::vector<std::string> args;
    // Set-up of the fake.
    std::map<std::string, int> deleteErrors;
    LoadResult load = LoadResult::Loaded;
    bool channelOk = true;
    bool serialOk = true;
    // Expected.
    Calls calls;
    bool fatal;           // Debug set and termination requested
    std::string boxText;  // the one box, when there is one
    bool systemModal = false;
};

TEST_F(RunControlTest, StartupSequenceAndFailures) {
    const std::string usb = "USB";
    const StartupCase cases[] = {
        {"no port argument",
         {},
         {},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "box vIvavod EVI Version 1.27"},
         true,
         kUsageText},
        {"CT-API normal",
         {"USB", "-L01"},
         {},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "load USB 01", "channel with memory"},
         false,
         ""},
        {"CT-API -F: no shared memory",
         {"USB", "-L01", "-F"},
         {},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "load USB 01", "channel"},
         false,
         ""},
        {"CT-API -U: one run before the channel",
         {"USB", "-L01", "-U"},
         {},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "load USB 01", "run", "channel with memory"},
         false,
         ""},
        {"stale PD.XML locked",
         {"USB", "-L01"},
         {{"PD.XML", 13}},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "box Fehler PD.XML l\xF6schen", "ErrorRecord"},
         true,
         "Fehler unlink(" + tmp.WithSeparator() + "PD.XML): 13",
         true},
        {"stale VD.XML locked",
         {"USB", "-L01"},
         {{"PD.XML", 0}, {"VD.XML", 5}},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "box Fehler VD.XML l\xF6schen", "ErrorRecord"},
         true,
         "Fehler unlink(" + tmp.WithSeparator() + "VD.XML): 5",
         true},
        {"no library",
         {"LAN2", "-L01"},
         {},
         LoadResult::NoLibrary,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "load LAN2 01", "box Fehler"},
         true,
         "ct_api_*01.dll fehlen"},
        {"library without CT_init",
         {"com3", "-Lxyz9"},
         {},
         LoadResult::NoInit,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "load COM3 xyz", "box Fehler"},
         true,
         "ct_api_*.dll fehlerhaft"},
        {"message not registered: start-up goes on",
         {"COM1"},
         {},
         LoadResult::Loaded,
         false,
         true,
         {"delete PD.XML", "delete VD.XML", "channel with memory", "ErrorRecord", "box Fehler",
          "open COM1", "start protocol"},
         false,
         "Register Message"},
        {"serial",
         {"com2", "-E"},
         {},
         LoadResult::Loaded,
         true,
         true,
         {"delete PD.XML", "delete VD.XML", "channel with memory", "open COM2", "start protocol"},
         false,
         ""},
        {"serial port cannot be opened",
         {"COM7"},
         {},
         LoadResult::Loaded,
         true,
         false,
         {"delete PD.XML", "delete VD.XML", "channel with memory", "open COM7", "ErrorRecord",
          "box Fehler"},
         true,
         "Fehler beim \xD6"
         "ffnen von COM7."},
    };
    for (const StartupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto row = Restart();
        test::RecordingUi& caseUi = row->ui;
        test::FakeServices& fake = row->fake;
        fake.deleteErrors = c.deleteErrors;
        fake.loadResult = c.load;
        fake.channelOk = c.channelOk;
        fake.serialOk = c.serialOk;
        CreateWith(fake, c.args);

        EXPECT_EQ(fake.Calls(), c.calls);
        EXPECT_EQ(core::Options().debug, c.fatal);
        EXPECT_EQ(caseUi.terminates, c.fatal ? 1 : 0);
        if (c.boxText.empty()) {
            EXPECT_TRUE(caseUi.boxes.empty());
        } else {
            ASSERT_EQ(caseUi.boxes.size(), 1u);
            EXPECT_EQ(caseUi.boxes[0].text, c.boxText);
            EXPECT_EQ(caseUi.boxes[0].icon, core::BoxIcon::Warning);
            EXPECT_EQ(caseUi.boxes[0].systemModal, c.systemModal);
        }
        if (c.fatal) {
            // Should the window still be shown, no run starts.
            FormShow();
            EXPECT_FALSE(ReaderThreadRunning());
        }
    }
}

TEST_F(RunControlTest, EndingARunningInstanceChangesTheOwnCaptionFirstAndDoesNothingElse) {
    Create({"-E", "--", "COM1", "-D"});
    EXPECT_EQ(services.Calls(), Calls{"close window KVK / eGK"});
    EXPECT_EQ(ui.captions, std::vector<std::string>{"nur beenden"});
    EXPECT_TRUE(ui.minimised);
    EXPECT_EQ(ui.terminates, 1);
    EXPECT_TRUE(core::Options().endless);  // options before "--" apply
    EXPECT_FALSE(core::Options().debug);
}

TEST_F(RunControlTest, InvisibleStartupHidesTheWindowOnlyWithAChannel) {
    Create({"COM1", "-U"});
    EXPECT_EQ(ui.windowStates, (std::vector<std::string>{"minimised", "invisible", "minimised"}));

    const auto other = Restart();
    test::RecordingUi& otherUi = other->ui;
    test::FakeServices& fake = other->fake;
    fake.channelOk = false;
    FormCreate(fake, {"orva", "COM1", "-U"});
    EXPECT_EQ(otherUi.windowStates, std::vector<std::string>{"minimised"});
}

TEST_F(RunControlTest, ShowAndHideDoNothingInDebugModeOrTheWrongVisibility) {
    struct Case {
        std::vector<std::string> args;
        bool show;  // FormShow, else FormHide
    };
    const Case cases[] = {
        {{"USB", "-L01", "-D"}, true}, {{"USB", "-L01", "-D", "-U"}, false},
        {{"USB", "-L01", "-U"}, true}, {{"USB", "-L01"}, false},
        {{"COM1", "-D"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto row = Restart();
        test::RecordingUi& caseUi = row->ui;
        test::FakeServices& fake = row->fake;
        CreateWith(fake, c.args);
        const std::size_t before = fake.Calls().size();
        const int runs = fake.runs;
        c.show ? FormShow() : FormHide();
        EXPECT_EQ(fake.Calls().size(), before);
        EXPECT_EQ(fake.runs, runs);
        EXPECT_TRUE(caseUi.status.empty());
    }
}

TEST_F(RunControlTest, SerialModeShowsTheCompactViewWithoutReaderThread) {
    Create({"COM1"});
    const Calls before = services.Calls();
    FormShow();
    EXPECT_EQ(services.Calls(), before);
    EXPECT_EQ(ui.compactViews, 1);
    EXPECT_EQ(ui.status, std::vector<std::string>{kInitialStatus});
    EXPECT_EQ(ui.fronts, 1);
    EXPECT_FALSE(ReaderThreadRunning());
    EXPECT_EQ(services.runs, 0);
}

TEST_F(RunControlTest, AbortDeliversTheErrorRecordAndTerminatesWhereNoRunEndsTheProgram) {
    struct Case {
        std::vector<std::string> args;
        bool terminates;
    };
    const Case cases[] = {
        {{"USB", "-L01", "-E"}, false},  // the run in progress ends the program
        {{"USB", "-L01", "-E", "-D"}, true},
        {{"COM1", "-E"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto row = Restart();
        test::RecordingUi& caseUi = row->ui;
        test::FakeServices& fake = row->fake;
        CreateWith(fake, c.args);
        ButtonAbbruchClick(fake);
        EXPECT_EQ(fake.Calls().back(), "ErrorRecord");
        EXPECT_TRUE(core::Reader().abort);
        EXPECT_FALSE(core::Options().endless);
        EXPECT_EQ(caseUi.terminates, c.terminates ? 1 : 0);
        EXPECT_EQ(caseUi.closes, c.terminates ? 0 : 1);  // else the close waits for the run
    }
}

TEST_F(RunControlTest, ButtonReadRunsOnlyWithACtApiLibrary) {
    Create({"COM1", "-D"});
    ButtonReadPressed();
    EXPECT_EQ(services.runs, 0);

    const auto other = Restart();
    test::FakeServices& fake = other->fake;
    FormCreate(fake, {"orva", "USB", "-L01", "-D"});
    ButtonReadPressed();
    ButtonReadPressed();
    EXPECT_EQ(fake.runs, 2);
}

TEST_F(RunControlTest, CloseReleasesWhatStartupAcquired) {
    struct Case {
        std::vector<std::string> args;
        Calls released;
    };
    const Case cases[] = {
        {{"USB", "-L01"}, {"unload", "release channel"}},
        {{"USB", "-L01", "-F"}, {"unload"}},
        {{"COM1"}, {"close serial", "release channel"}},
        {{"COM1", "-FOUT.TXT"}, {"close serial"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto row = Restart();
        test::FakeServices& fake = row->fake;
        CreateWith(fake, c.args);
        core::Options().endless = true;
        const std::size_t before = fake.Calls().size();
        EXPECT_TRUE(FormClose(fake));
        const Calls calls = fake.Calls();
        EXPECT_EQ(Calls(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()),
                  c.released);
        EXPECT_TRUE(core::Reader().abort);
        EXPECT_FALSE(core::Options().endless);
    }
}

TEST_F(RunControlTest, CloseDuringARunOnTheGuiThreadWaitsForTheRunToEnd) {
    Create({"USB", "-L01", "-D"});
    bool closedInside = true;
    // A box of the run lets a WM_CLOSE through: closing must not pull the library away.
    services.onRun = [&] { closedInside = FormClose(services); };
    ButtonReadPressed();
    EXPECT_FALSE(closedInside);
    EXPECT_TRUE(CloseIsPending());
    EXPECT_EQ(ui.closes, 1);  // the close comes again once the run has ended
    EXPECT_TRUE(services.loaded);
    services.onRun = nullptr;
    EXPECT_TRUE(FormClose(services));
    EXPECT_FALSE(services.loaded);
    EXPECT_FALSE(CloseIsPending());
}

// A run on the GUI thread handles the window's messages in its waits: what the user does while
// it waits for a card acts as it does for a run on the reader thread.
TEST_F(RunControlTest, ARunOnTheGuiThreadWaitingForACardAnswersTheWindow) {
    enum class Act { Close, Abbruch, ReadAgain };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        Act act;
        Calls after;         // the services' calls from the run on
        int closes;          // WM_CLOSE posted once the run has ended
        int terminates = 1;  // by the run that saw the abort (and by Abbruch in Debug mode)
    };
    const Case cases[] = {
        {"-U start-up run, closed",
         {"USB", "-L01", "-U", "-FOUT.TXT"},
         Act::Close,
         {"run", "channel"},
         1},
        {"-D run, closed", {"USB", "-L01", "-D"}, Act::Close, {"run"}, 1},
        {"-D run, Abbruch", {"USB", "-L01", "-D"}, Act::Abbruch, {"run", "ErrorRecord"}, 0, 2},
        // A second click starts no second run; the run goes on waiting until it is closed.
        {"-D run, ButtonRead again", {"USB", "-L01", "-D"}, Act::ReadAgain, {"run"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto row = Restart();
        test::RecordingUi& caseUi = row->ui;
        test::FakeServices& fake = row->fake;
        test::FastSleep sleep;
        test::ScriptedCtApi terminal;
        terminal.Expect("20 11 00 00 00", "90 00");
        for (int i = 0; i < 3; ++i) {
            terminal.Expect("20 12 01 00 01 01", "62 00");  // no card
        }
        terminal.Expect("20 12 01 00 01 01", "6F 00");  // a run that never looked up ends here
        fake.onRun = [&] { reading::ButtonReadClick(terminal); };
        int pumps = 0;
        caseUi.onPump = [&] {
            if (++pumps > 1 && c.act != Act::ReadAgain) {
                return;
            }
            switch (c.act) {
                case Act::Close:
                    EXPECT_FALSE(FormClose(fake));  // held back until the run has ended
                    break;
                case Act::Abbruch:
                    ButtonAbbruchClick(fake);
                    break;
                case Act::ReadAgain:
                    ButtonReadPressed();
                    if (pumps == 2) {
                        EXPECT_FALSE(FormClose(fake));
                    }
                    break;
            }
        };
        CreateWith(fake, c.args);
        if (core::Options().debug) {
            ButtonReadPressed();
        }
        const Calls calls = fake.Calls();
        const auto run = std::find(calls.begin(), calls.end(), "run");
        EXPECT_EQ(Calls(run, calls.end()), c.after);
        EXPECT_EQ(fake.runs, 1);
        EXPECT_EQ(terminal.calls.back(), "close 1");  // the terminal is closed after the wait
        EXPECT_EQ(caseUi.terminates, c.terminates);   // and the application ends
        EXPECT_EQ(caseUi.closes, c.closes);
        EXPECT_TRUE(core::Reader().abort);
        EXPECT_TRUE(caseUi.boxes.empty());
        caseUi.onPump = nullptr;
    }
}

TEST_F(RunControlTest, HexlistClickCopiesTheSelectedLine) {
    HexlistClick(std::nullopt);
    HexlistClick(std::string("1: CT_data=0, Src=1, Dest=2, Len=2: 90 00"));
    EXPECT_EQ(ui.memo, std::vector<std::string>{"1: CT_data=0, Src=1, Dest=2, Len=2: 90 00"});
}

TEST_F(RunControlTest, MemoFollowsTheWindowHeightAbove435) {
    const std::pair<int, std::optional<int>> cases[] = {
        {600, 169}, {817, 386}, {436, 5}, {435, std::nullopt}, {120, std::nullopt}};
    for (const auto& [outer, memo] : cases) {
        EXPECT_EQ(MemoHeightFor(outer), memo) << outer;
    }
}

TEST_F(RunControlTest, TimerDrivesTheSerialSupervision) {
    EndlosLoopTick();  // before start-up: nothing to drive
    Create({"COM1"});
    const std::size_t before = services.Calls().size();
    EndlosLoopTick();
    EXPECT_EQ(services.Calls().size(), before + 1);
    EXPECT_EQ(services.Calls().back(), "tick");
}

}  // namespace
}  // namespace orva::app
