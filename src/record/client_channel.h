// The channel towards the practice program: the registered window message "OVIRADATA1" and the
// 16384-byte named shared-memory block "OVIRADATA1". Created once by start-up, released by the
// window's close handler. On Linux there is no client window: without -F the record goes to
// standard output.
#pragma once

namespace orva::record {

inline constexpr unsigned kSharedBlockSize = 16384;

// Registers the message; when withMemory, also creates (or opens) and maps the block. Returns
// false when the message could not be registered (start-up then reports "Register Message").
bool CreateClientChannel(bool withMemory);

// Unmaps and closes the block, if there is one.
void ReleaseClientChannel();

}  // namespace orva::record
