// The channel towards the practice program: the registered window message "OVIRADATA1" and the
// 16384-byte named shared-memory block "OVIRADATA1". Created once by start-up, released by the
// window's close handler. On Linux there is no client window: without -F the record goes to
// standard output.
//
// Handing a record over (Windows): the client window is looked up anew for every record, by
// class "TFormTelnetMain", else "TFormCommMain"; the record is copied to offset 0 of the block
// (bytes behind it keep what a longer earlier record left there), then the message is sent
// synchronously with WPARAM = record length and LPARAM = 0.
#pragma once

#include <cstdint>
#include <span>

namespace orva::record {

inline constexpr unsigned kSharedBlockSize = 16384;
inline constexpr const char* kChannelName = "OVIRADATA1";
inline constexpr const char* kClientClass = "TFormTelnetMain";
inline constexpr const char* kClientFallbackClass = "TFormCommMain";

// Registers the message; when withMemory, also creates (or opens) and maps the block. Returns
// false when the message could not be registered (start-up then reports "Register Message").
bool CreateClientChannel(bool withMemory);

// Unmaps and closes the block, if there is one.
void ReleaseClientChannel();

// What delivery needs of the channel. The real one is process-wide; tests put a fake in its
// place.
class ClientChannel {
  public:
    enum class Handover {
        Delivered,       // the client has handled the message (Linux: written to stdout)
        NoChannel,       // no shared block (or the output failed): nothing handed over
        NoClientWindow,  // no window of either class
    };

    virtual ~ClientChannel() = default;
    // record is at most kSharedBlockSize bytes.
    virtual Handover Hand(std::span<const std::uint8_t> record) = 0;
};

ClientChannel& GetClientChannel();
// Replaces the channel delivery uses (null puts the real one back). Tests only.
void SetClientChannel(ClientChannel* channel);

}  // namespace orva::record
