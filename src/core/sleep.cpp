#include "core/sleep.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace orva::core {

namespace {
void RealSleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
std::atomic<SleepFunction> gSleep{&RealSleep};
}  // namespace

void SleepMs(unsigned milliseconds) { gSleep.load()(milliseconds); }

void SetSleepFunction(SleepFunction function) {
    gSleep.store(function != nullptr ? function : &RealSleep);
}

}  // namespace orva::core
