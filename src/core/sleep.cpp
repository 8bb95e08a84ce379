#include "core/sleep.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/ui.h"

namespace orva::core {

namespace {

// How often a pumping wait looks at the window's messages.
constexpr unsigned kPumpSliceMs = 10;

void RealSleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
std::atomic<SleepFunction> gSleep{&RealSleep};
thread_local int tPumpingWaits = 0;

void PumpingSleep(unsigned milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        GetUi().PumpMessages();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        RealSleep(std::min<unsigned>(static_cast<unsigned>(left), kPumpSliceMs));
    }
}

}  // namespace

void SleepMs(unsigned milliseconds) {
    const SleepFunction sleep = gSleep.load();
    if (tPumpingWaits == 0) {
        sleep(milliseconds);
    } else if (sleep == &RealSleep) {
        PumpingSleep(milliseconds);
    } else {
        GetUi().PumpMessages();
        sleep(milliseconds);
    }
}

void SetSleepFunction(SleepFunction function) {
    gSleep.store(function != nullptr ? function : &RealSleep);
}

MessagePumpingWaits::MessagePumpingWaits() {
    ++tPumpingWaits;
}
MessagePumpingWaits::~MessagePumpingWaits() {
    --tPumpingWaits;
}

}  // namespace orva::core
