// The reading run over the CT-API: open the terminal, reset it, wait for a card, read a KVK or
// an eGK, erase, eject, close, deliver.
#pragma once

#include <optional>

#include "core/state.h"
#include "record/card_data.h"
#include "terminal/ctapi_binding.h"
#include "terminal/session.h"

namespace orva::reading {

// What one reading run read.
struct CardRead {
    core::CardKind kind;    // the card the terminal presented (also kept in the reader state)
    record::CardData card;  // its data for the record, or the ErrorRecord when there are none
};

// One reading run from CT_init to CT_close. None when the terminal could not be opened or the
// run was aborted while waiting for a card (the run then asks the application to terminate).
[[nodiscard]] std::optional<CardRead> ReadCard(terminal::CtApi& ctApi,
                                               terminal::TerminalSession& session);

// One whole reading run (the handler of the "KVK / eGK lesen" button): ReadCard, then delivery.
// Runs on the thread that calls it; the window is reached through the Ui seam only, the terminal
// through ctApi.
void ButtonReadClick(terminal::CtApi& ctApi, terminal::TerminalSession& session);

// The same in the process's terminal session, which lives until the process ends and is owned
// here: the lasting 67 00 fallback is the behaviour of the whole process.
void ButtonReadClick(terminal::CtApi& ctApi);
terminal::TerminalSession& ProcessTerminalSession();

}  // namespace orva::reading
