#include "terminal/format.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace orva::terminal {
namespace {

struct FormatCase {
    const char* bytes;
    std::uint16_t count;
    const char* hexDump;
    const char* printable;
    const char* hexString;
};

const FormatCase kCases[] = {
    {"90 00", 2, "90 00 ", "x90 x00 ", "9000"},
    {"20 41 7F", 3, "20 41 7F ", " Ax7F ", "20417F"},
    {"0A ab", 2, "0A AB ", "x0A xAB ", "0AAB"},
    {"41 42", 0, "", "", ""},
    {"41 42 43", 1, "41 ", "A", "41"},
    // A count beyond the bytes given stops at their end.
    {"41 42", 9999, "41 42 ", "AB", "4142"},
};

TEST(Format, Table) {
    for (const FormatCase& c : kCases) {
        SCOPED_TRACE(c.bytes);
        const auto bytes = test::Hex(c.bytes);
        EXPECT_EQ(HexDump(bytes, c.count), c.hexDump);
        EXPECT_EQ(PrintableDump(bytes, c.count), c.printable);
        EXPECT_EQ(HexString(bytes, c.count), c.hexString);
    }
}

}  // namespace
}  // namespace orva::terminal
