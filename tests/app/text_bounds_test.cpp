// The cut that keeps the Memo within its limit: whole old lines go, the newest text stays.
#include "app/text_bounds.h"

#include <gtest/gtest.h>

#include <string>

namespace orva::app {
namespace {

TEST(OldLinesToDropTest, CutsAtTheFirstLineStartThatMakesRoom) {
    const std::wstring text = L"one\r\ntwo\r\nthree\r\n";  // 17 characters, lines at 0, 5, 10
    struct Case {
        std::size_t incoming, limit, dropped;
    };
    const Case cases[] = {
        {3, 20, 0},    // fits exactly
        {4, 20, 5},    // one character too many: the whole first line goes
        {8, 20, 5},    // the room the first line leaves is enough
        {9, 20, 10},   // needs the second line as well
        {10, 20, 10},  // ... which ends exactly where the room starts
        {13, 20, 10},  // the last line alone still fits
        {14, 20, 17},  // it does not: the text goes whole
        {21, 20, 17},  // a new text longer than the limit on its own
        {0, 0, 17},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OldLinesToDrop(text, c.incoming, c.limit), c.dropped)
            << "incoming " << c.incoming << ", limit " << c.limit;
    }
}

TEST(OldLinesToDropTest, TextWithoutLineBreaksGoesWholeOrNotAtAll) {
    const std::wstring typed(100, L'x');  // typed into the Memo by hand
    EXPECT_EQ(OldLinesToDrop(typed, 10, 110), 0u);
    EXPECT_EQ(OldLinesToDrop(typed, 11, 110), 100u);
    EXPECT_EQ(OldLinesToDrop(L"", 5, 4), 0u);
}

}  // namespace
}  // namespace orva::app
