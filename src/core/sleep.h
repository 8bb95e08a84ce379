// All waits of the program go through here, so that tests can replace them and run fast.
#pragma once

namespace orva::core {

using SleepFunction = void (*)(unsigned milliseconds);

void SleepMs(unsigned milliseconds);

// Replaces the real sleep (null puts the real one back). Tests only.
void SetSleepFunction(SleepFunction function);

}  // namespace orva::core
