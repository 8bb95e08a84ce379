// The reading run over the CT-API: open the terminal, reset it, wait for a card, read a KVK or
// an eGK, erase, eject, close, deliver.
#pragma once

#include "terminal/ctapi_binding.h"

namespace orva::reading {

// One whole reading run (the handler of the "KVK / eGK lesen" button). Runs on the thread that
// calls it; the window is reached through the Ui seam only, the terminal through ctApi.
void ButtonReadClick(terminal::CtApi& ctApi);

}  // namespace orva::reading
