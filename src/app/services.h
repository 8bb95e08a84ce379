// The production binding of start-up and run control: the transports (a CT-API library, the
// serial port and its block protocol), delivery, the client channel and the platform.
#pragma once

#include "app/run_control.h"

namespace orva::app {

class SystemServices final : public Services {
  public:
    int RemoveFile(const std::string& path) override;
    void CloseWindowByCaption(std::string_view caption) override;

    std::unique_ptr<Transport> LoadCtApiLibrary(std::string_view portName, std::string_view suffix,
                                                terminal::LoadResult& result) override;
    std::unique_ptr<Transport> SerialPort(const std::string& portName) override;

    void DeliverErrorRecord() override;
    bool CreateClientChannel(bool withMemory) override;
    void ReleaseClientChannel() override;
};

}  // namespace orva::app
