// All waits of the program go through here, so that tests can replace them and run fast.
//
// A reading run on the GUI thread (the start-up run of -U, the ButtonRead runs of -D) must keep
// the window alive: while a MessagePumpingWaits object lives on a thread, every wait of that
// thread handles the window's messages (Ui::PumpMessages) all along, so "Abbruch", the close box
// and WM_CLOSE reach run control during the run.
#pragma once

namespace orva::core {

using SleepFunction = void (*)(unsigned milliseconds);

void SleepMs(unsigned milliseconds);

// Replaces the real sleep (null puts the real one back). Tests only. A replaced sleep still
// pumps the window's messages once per wait where MessagePumpingWaits asks for it.
void SetSleepFunction(SleepFunction function);

class MessagePumpingWaits {
  public:
    MessagePumpingWaits();
    ~MessagePumpingWaits();
    MessagePumpingWaits(const MessagePumpingWaits&) = delete;
    MessagePumpingWaits& operator=(const MessagePumpingWaits&) = delete;
};

}  // namespace orva::core
