// The reader thread: one run or card after card, the close it posts, and closing while a run is
// in progress (waiting, bounded, before anything a run may use is released).
#include "app/run_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>

#include "core/state.h"
#include "fake_services.h"
#include "reading/reading_run.h"
#include "support/scripted_ctapi.h"
#include "support/recording_ui.h"
#include "support/test_support.h"

namespace orva::app {
namespace {

using Calls = std::vector<std::string>;

class ReaderThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        ResetRunControl();
        const char* old = std::getenv("TMP");
        oldTmp = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        test::SetEnvironment("TMP", tmp.Path().string().c_str());
    }
    void TearDown() override {
        WaitForReader();
        core::ResetState();
        ResetRunControl();
        test::SetEnvironment("TMP", oldTmp ? oldTmp->c_str() : nullptr);
    }
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), "orva");
        FormCreate(services, args);
        FormShow();
    }
    static void WaitForReader() {
        for (int i = 0; i < 1000 && ReaderThreadRunning(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_FALSE(ReaderThreadRunning());
    }
    int Closes() {
        std::lock_guard lock(ui.mutex);
        return ui.closes;
    }
    int Pumps() {
        std::lock_guard lock(ui.mutex);
        return ui.pumps;
    }

    std::optional<std::string> oldTmp;
    test::TempFolder tmp{"orva-app"};
    test::RecordingUi ui;
    test::FakeServices services{ui};
};

TEST_F(ReaderThreadTest, OneRunThenTheWindowCloses) {
    Start({"USB", "-L01"});
    WaitForReader();
    EXPECT_EQ(services.runs, 1);
    EXPECT_EQ(Closes(), 1);
    EXPECT_EQ(services.Calls().front(), "delete PD.XML");
    EXPECT_EQ(ui.status, std::vector<std::string>{"Initialisierung ..."});
}

TEST_F(ReaderThreadTest, EndlessRunsFollowOneAnotherUntilAbort) {
    services.onRun = [this] {
        if (services.runs == 3) {
            ButtonAbbruchClick(services);  // clicked during the third run
        }
    };
    Start({"USB", "-L01", "-E"});
    WaitForReader();
    EXPECT_EQ(services.runs, 3);
    EXPECT_EQ(Closes(), 2);  // Abbruch closes the window, and so does the reader thread at its end
    EXPECT_EQ(ui.terminates, 0);  // the reader thread closes the program
}

TEST_F(ReaderThreadTest, InvisibleStartupRunsOnceOnTheGuiThread) {
    services.onRun = [] { core::GetUi().RequestTerminate(); };
    FormCreate(services, {"orva", "USB", "-L01", "-U"});
    EXPECT_EQ(services.runs, 1);  // the start-up run, on this thread
    EXPECT_FALSE(ReaderThreadRunning());
}

// The reader thread with the real reading run and an in-process terminal: the provider keeps
// answering run after run (a loaded library is looked up again before each run; an in-process
// one must not be).
TEST_F(ReaderThreadTest, AnInProcessCtApiProviderServesThreeRunsInEndlessMode) {
    constexpr char kReset[] = "20 11 00 00 00";
    constexpr char kRequest[] = "20 12 01 00 01 01";
    constexpr char kEject[] = "20 15 01 00 01 01";
    test::ScriptedCtApi terminal;
    for (int card = 1; card <= 3; ++card) {
        terminal.Expect(kReset, "90 00")
            .Expect(kRequest, "A2 13 10 91 90 00")
            .Expect("00 A4 04 00 06 D2 76 00 00 01 01", "90 00")
            .Expect("00 B0 00 00 00", "60 0A 80 03 41 42 43 8E 01 5A 62 82")
            .Expect("00 0E 00 00", "90 00");
        // The third card is the last: the endless mode is switched off while it is ejected.
        terminal.Then({kEject, "90 00", 0, true,
                       card == 3 ? std::function<void()>([] { core::Options().endless = false; })
                                 : std::function<void()>()});
    }
    services.onRun = [&] { reading::ButtonReadClick(terminal); };
    Start({"USB", "-L01", "-E", "-FORVA.TXT"});
    WaitForReader();
    const std::string output = core::Options().outputFileName;

    EXPECT_EQ(services.runs, 3);
    EXPECT_EQ(terminal.Remaining(), 0u);
    EXPECT_EQ(std::count_if(terminal.calls.begin(), terminal.calls.end(),
                            [](const std::string& call) { return call.rfind("init 1 ", 0) == 0; }),
              3);
    EXPECT_EQ(std::count(terminal.calls.begin(), terminal.calls.end(), "close 1"), 3);
    const std::vector<std::string> log = ui.hexlist;
    EXPECT_EQ(std::count(log.begin(), log.end(), "CT_close=0"), 3);
    for (const auto& line : log) {
        EXPECT_EQ(line.find("Fehler"), std::string::npos) << line;
    }
    EXPECT_EQ(test::ReadFileBytes(output),
              test::Hex("04 4F 4B 56 4B 20 30 31 80 E3 41 42 43 8E E1 35 41 04"));
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(Closes(), 1);
}

// A run that waits for a card until the abort flag is set, like the reading run.
struct CardWait {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool ignoreAbort = false;
    bool released = false;

    void Run() {
        std::unique_lock lock(mutex);
        entered = true;
        cv.notify_all();
        while (!released && (ignoreAbort || !core::Reader().abort)) {
            cv.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    void AwaitEntered() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return entered; });
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
};

TEST_F(ReaderThreadTest, CloseDuringARunWaitsForItBeforeReleasing) {
    CardWait wait;
    services.onRun = [&] {
        wait.Run();
        services.Log("run ended");
    };
    Start({"USB", "-L01", "-E"});
    wait.AwaitEntered();
    EXPECT_TRUE(FormClose(services, 5000));
    const Calls calls = services.Calls();
    const Calls tail(calls.end() - 3, calls.end());
    EXPECT_EQ(tail, (Calls{"run ended", "unload", "release channel"}));
    EXPECT_EQ(services.runs, 1);
}

TEST_F(ReaderThreadTest, ARunThatNeverEndsKeepsTheLibraryLoaded) {
    CardWait wait;
    wait.ignoreAbort = true;  // an eject loop with the card never taken out
    services.onRun = [&] { wait.Run(); };
    Start({"USB", "-L01", "-E"});
    wait.AwaitEntered();
    EXPECT_TRUE(FormClose(services, 200));
    EXPECT_TRUE(services.loaded);
    EXPECT_EQ(services.Calls().back(), "run");  // neither channel release nor unload
    EXPECT_GT(Pumps(), 0);                      // the window stayed alive while waiting
    wait.Release();
    WaitForReader();
    EXPECT_EQ(services.runs, 1);  // the abort flag stops the endless mode
}

}  // namespace
}  // namespace orva::app
