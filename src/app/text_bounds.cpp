#include "app/text_bounds.h"

namespace orva::app {

std::size_t OldLinesToDrop(std::wstring_view text, std::size_t incoming, std::size_t limit) {
    if (incoming > limit) {
        return text.size();
    }
    const std::size_t room = limit - incoming;
    if (text.size() <= room) {
        return 0;
    }
    // The first line start at or after the excess: everything before it goes.
    const std::size_t excess = text.size() - room;
    if (text[excess - 1] == L'\n') {  // excess > 0: the text does not fit
        return excess;
    }
    const std::size_t newline = text.find(L'\n', excess);
    return newline == std::wstring_view::npos ? text.size() : newline + 1;
}

}  // namespace orva::app
