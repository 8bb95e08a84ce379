// The serial transport for a build without the serial port driver: the port never opens.
#include "app/services.h"

namespace orva::app {

namespace {

class NoSerialPort final : public Transport {
public:
    bool Start() override { return false; }
    bool RunsOnRequest() const override { return false; }
    void ReadingRun() override {}
    void TimerTick() override {}
    void Close(bool) override {}
};

}  // namespace

std::unique_ptr<Transport> SystemServices::SerialPort(const std::string&) {
    return std::make_unique<NoSerialPort>();
}

}  // namespace orva::app
