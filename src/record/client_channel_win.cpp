// The Windows channel: the registered message and the named block "OVIRADATA1", backed by the
// paging file. When the client created the block first, CreateFileMappingA opens that one.
//
// Deliveries come from the GUI thread, the reader thread and the serial event thread; one lock
// keeps the copy into the block and the announcing message of one record together, and keeps
// the release from unmapping the block under a copy.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/handle_win.h"
#include "record/client_channel.h"

namespace orva::record {

namespace {

class SharedBlockChannel final : public ClientChannel {
  public:
    bool Create(bool withMemory) {
        std::lock_guard lock(mutex_);
        message_ = RegisterWindowMessageA(kChannelName);
        if (message_ == 0) {
            return false;
        }
        if (withMemory && !mapping_) {
            mapping_.Reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              kSharedBlockSize, kChannelName));
            if (mapping_) {
                view_ = core::MappedView(
                    MapViewOfFile(mapping_.Get(), FILE_MAP_WRITE, 0, 0, kSharedBlockSize));
            }
        }
        return true;
    }

    void Release() {
        std::lock_guard lock(mutex_);
        view_.Reset();
        mapping_.Reset();
    }

    Handover Hand(std::span<const std::uint8_t> record) override {
        std::lock_guard lock(mutex_);
        if (!view_ || record.size() > kSharedBlockSize) {
            return Handover::NoChannel;
        }
        HWND client = FindWindowA(kClientClass, nullptr);
        if (client == nullptr) {
            client = FindWindowA(kClientFallbackClass, nullptr);
        }
        if (client == nullptr) {
            return Handover::NoClientWindow;
        }
        std::memcpy(view_.Get(), record.data(), record.size());
        SendMessageA(client, message_, static_cast<WPARAM>(record.size()), 0);
        return Handover::Delivered;
    }

  private:
    std::mutex mutex_;
    UINT message_ = 0;
    core::Handle mapping_;
    core::MappedView view_;
};

SharedBlockChannel& Channel() {
    static SharedBlockChannel channel;
    return channel;
}

}  // namespace

ClientChannel& RealClientChannel() {
    return Channel();
}

bool CreateClientChannel(bool withMemory) {
    return Channel().Create(withMemory);
}

void ReleaseClientChannel() {
    Channel().Release();
}

}  // namespace orva::record
