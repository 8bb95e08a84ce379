// Binds start-up and run control to the subsystems that do the work.
#include "app/services.h"

#include "core/platform.h"
#include "core/state.h"
#include "reading/reading_run.h"
#include "record/client_channel.h"
#include "record/delivery.h"
#include "terminal/ctapi_binding.h"

namespace orva::app {

int SystemServices::RemoveFile(const std::string& path) { return core::DeleteFileWithErrno(path); }

terminal::LoadResult SystemServices::LoadCtApi(std::string_view portName,
                                               std::string_view suffix) {
    return library_.Load(portName, suffix);
}

bool SystemServices::CtApiLoaded() { return library_.Loaded(); }

void SystemServices::UnloadCtApi() { library_.Unload(); }

void SystemServices::ReadingRun() { reading::ButtonReadClick(library_); }

void SystemServices::DeliverErrorRecord() {
    (void)record::DeliverErrorRecord(core::Reader().cardKind);
}

bool SystemServices::CreateClientChannel(bool withMemory) {
    return record::CreateClientChannel(withMemory);
}

void SystemServices::ReleaseClientChannel() { record::ReleaseClientChannel(); }

}  // namespace orva::app
