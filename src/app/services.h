// The production binding of start-up and run control: the other subsystems (loading the CT-API
// library, the reading run, delivery, the client channel, the serial port and its block
// protocol) and the platform. The front ends add the two window operations.
#pragma once

#include "app/run_control.h"

namespace orva::app {

class SystemServices : public Services {
public:
    int RemoveFile(const std::string& path) override;
    void CloseWindowByCaption(std::string_view caption) override;

    terminal::LoadResult LoadCtApi(std::string_view portName, std::string_view suffix) override;
    bool CtApiLoaded() override;
    void UnloadCtApi() override;
    void ReadingRun() override;

    void DeliverErrorRecord() override;
    bool CreateClientChannel(bool withMemory) override;
    void ReleaseClientChannel() override;

    bool OpenSerial(const std::string& portName) override;
    void StartSerialProtocol() override;
    void CloseSerial() override;
    void SerialTimerTick() override;

private:
    // Loaded by start-up in CT-API mode; released by closing, when no run can still use it.
    terminal::CtApiLibrary library_;
};

}  // namespace orva::app
