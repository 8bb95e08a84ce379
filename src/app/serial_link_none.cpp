// The serial transport for a build without the serial port driver: the port cannot be opened.
#include "app/services.h"

namespace orva::app {

bool SystemServices::OpenSerial(const std::string&) { return false; }
void SystemServices::StartSerialProtocol() {}
void SystemServices::CloseSerial() {}
void SystemServices::SerialTimerTick() {}

}  // namespace orva::app
