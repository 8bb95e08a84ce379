// Binds start-up and run control to the subsystems that do the work, and the CT-API transport.
#include "app/services.h"

#include "core/platform.h"
#include "core/state.h"
#include "reading/reading_run.h"
#include "record/client_channel.h"
#include "record/delivery.h"
#include "terminal/ctapi_binding.h"

namespace orva::app {

namespace {

// A CT-API library: run control starts its reading runs; closing unloads it once no run can
// still be inside it.
class CtApiTransport final : public Transport {
  public:
    terminal::LoadResult Load(std::string_view portName, std::string_view suffix) {
        return library_.Load(portName, suffix);
    }

    bool Start() override { return true; }
    bool RunsOnRequest() const override { return true; }
    void ReadingRun() override { reading::ButtonReadClick(library_); }
    void TimerTick() override {}
    void Close(bool runsEnded) override {
        if (runsEnded) {
            library_.Unload();
        }
    }

  private:
    terminal::CtApiLibrary library_;
};

}  // namespace

int SystemServices::RemoveFile(const std::string& path) {
    return core::DeleteFileWithErrno(path);
}

std::unique_ptr<Transport> SystemServices::LoadCtApiLibrary(std::string_view portName,
                                                            std::string_view suffix,
                                                            terminal::LoadResult& result) {
    auto transport = std::make_unique<CtApiTransport>();
    result = transport->Load(portName, suffix);
    if (result != terminal::LoadResult::Loaded) {
        return nullptr;
    }
    return transport;
}

void SystemServices::DeliverErrorRecord() {
    (void)record::DeliverErrorRecord(core::Reader().cardKind);
}

bool SystemServices::CreateClientChannel(bool withMemory) {
    return record::CreateClientChannel(withMemory);
}

void SystemServices::ReleaseClientChannel() {
    record::ReleaseClientChannel();
}

}  // namespace orva::app
