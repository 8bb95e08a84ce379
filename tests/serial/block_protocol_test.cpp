// The block protocol's glue: a scripted link in place of the port, the recording window, and
// the real sleep where the test is about waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/state.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "terminal/block_protocol.h"
#include "terminal/command_table.h"

namespace orva::terminal {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::ToHex;

// Hands out the bytes queued for it, at most as many as asked for; records what is written.
class ScriptedLink final : public ProtocolLink {
  public:
    void Queue(const std::vector<std::uint8_t>& bytes) {
        std::lock_guard lock(mutex_);
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maxCount) override {
        std::lock_guard lock(mutex_);
        maxAsked_ = std::max(maxAsked_, maxCount);
        std::uint32_t n = 0;
        while (n < maxCount && !pending_.empty()) {
            buffer[n++] = pending_.front();
            pending_.pop_front();
        }
        return n;
    }
    bool Write(const std::uint8_t* bytes, std::uint32_t count) override {
        std::lock_guard lock(mutex_);
        written_.push_back(ToHex(std::vector<std::uint8_t>(bytes, bytes + count)));
        return true;
    }
    std::vector<std::string> Written() {
        std::lock_guard lock(mutex_);
        return written_;
    }
    std::uint32_t MaxAsked() {
        std::lock_guard lock(mutex_);
        return maxAsked_;
    }

  private:
    std::mutex mutex_;
    std::deque<std::uint8_t> pending_;
    std::vector<std::string> written_;
    std::uint32_t maxAsked_ = 0;
};

class BlockProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        ResetBlockProtocol();
        SetProtocolLink(&link);
    }
    void TearDown() override {
        ResetBlockProtocol();
        core::ResetState();
    }
    void Answer(const std::string& hex) {
        link.Queue(Hex(hex));
        OnSerialReceive(nullptr);
    }

    ScriptedLink link;
    test::RecordingUi ui;
};

TEST_F(BlockProtocolTest, PromptsAndWindowGoThroughTheUi) {
    ui.minimised = true;
    StartBlockProtocol(nullptr);
    Answer("21 E0 02 90 00 53");  // resync answered
    Answer("21 00 02 90 00 B3");  // card present
    Answer("21 40 02 90 00 F3");  // SELECT answered: the window comes back
    EXPECT_EQ(link.Written(),
              (std::vector<std::string>{"12 C0 00 D2", "12 40 06 20 12 01 00 01 01 67",
                                        "02 00 0B 00 A4 04 00 06 D2 76 00 00 01 01 0B",
                                        "02 40 05 00 B0 00 00 00 F7"}));
    std::lock_guard lock(ui.mutex);
    EXPECT_EQ(ui.status, (std::vector<std::string>{"Versichertenkarte einstecken", "Select File",
                                                   "Daten lesen ..."}));
    EXPECT_EQ(ui.fronts, 3) << "the empty prompt of row 0 leaves the window alone";
    EXPECT_EQ(ui.windowStates, std::vector<std::string>{"normal"});
    EXPECT_LE(link.MaxAsked(), 260u);
}

// The receive handler's 500 ms pause after a refused read must not hold up the window's
// timer: the tick returns at once, and the pause still comes before the next block.
TEST_F(BlockProtocolTest, TimerNeverWaitsForTheReceiveHandlersPause) {
    StartBlockProtocol(nullptr);
    Answer("21 E0 02 90 00 53");
    Answer("21 00 02 90 00 B3");
    Answer("21 40 02 90 00 F3");
    ASSERT_EQ(CurrentProtocolState(), ProtocolState::Read);

    link.Queue(Hex("21 00 02 69 00 4A"));
    const auto started = std::chrono::steady_clock::now();
    std::thread eventThread([] { OnSerialReceive(nullptr); });
    std::this_thread::sleep_for(100ms);
    const auto tickStart = std::chrono::steady_clock::now();
    OnTimer();
    OnTimer();
    const auto tickTook = std::chrono::steady_clock::now() - tickStart;
    EXPECT_EQ(link.Written().size(), 4u) << "row 0 goes out only after the pause";
    eventThread.join();
    const auto handlerTook = std::chrono::steady_clock::now() - started;

    EXPECT_LT(tickTook, 100ms);
    EXPECT_GE(handlerTook, 500ms);
    EXPECT_EQ(link.Written().back(), "12 00 00 12");
    EXPECT_EQ(CurrentProtocolState(), ProtocolState::Resync);
}

}  // namespace
}  // namespace orva::terminal
