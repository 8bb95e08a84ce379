// The Pcsc interface over the platform's PC/SC functions (winscard on Windows, pcsc-lite on
// Linux, which copies its interface).
#pragma once

#include "pcsc.h"

namespace orva::pcsc {

Pcsc& SystemPcsc();

}  // namespace orva::pcsc
