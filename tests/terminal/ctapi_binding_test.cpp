// Loads real libraries built beside the tests: ct_api_usbTST (a complete one), ct_api_comNOI
// (no CT_init) and a name that does not exist.
#include "terminal/ctapi_binding.h"

#include <gtest/gtest.h>

#include "support/recording_ui.h"
#include "terminal/command_table.h"
#include "terminal/executor.h"

namespace orva::terminal {
namespace {

class BindingTest : public ::testing::Test {
  protected:
    CtApiLibrary library;
    test::RecordingUi ui;
};

TEST_F(BindingTest, FileNamesFollowKindAndSuffix) {
#ifdef _WIN32
    EXPECT_EQ(CtApiLibraryFileName("com", "01"), "ct_api_com01.dll");
#else
    EXPECT_EQ(CtApiLibraryFileName("com", "01"), "ct_api_com01.so");
#endif
}

TEST_F(BindingTest, LoadOutcomes) {
    struct Case {
        const char* port;
        const char* suffix;
        LoadResult expected;
    };
    const Case cases[] = {
        {"USB", "TST", LoadResult::Loaded},
        {"COM1", "NOI", LoadResult::NoInit},
        {"USB", "ZZZ", LoadResult::NoLibrary},
        // Every word in the port name is tried; the last attempt decides.
        {"COMUSB", "TST", LoadResult::Loaded},
        {"USBLAN", "TST", LoadResult::NoLibrary},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " " + c.suffix);
        EXPECT_EQ(library.Load(c.port, c.suffix), c.expected);
        EXPECT_EQ(library.Loaded(), c.expected != LoadResult::NoLibrary);
        EXPECT_EQ(library.BeginRun(), c.expected == LoadResult::Loaded);
        library.Unload();
        EXPECT_FALSE(library.Loaded());
    }
}

TEST_F(BindingTest, LoadedLibraryAnswersTheTerminalReset) {
    ASSERT_EQ(library.Load("USB", "TST"), LoadResult::Loaded);
    ASSERT_TRUE(library.BeginRun());
    ASSERT_EQ(library.Init(1, 1), 0);
    Response response{};
    std::uint16_t lenr = 0;
    EXPECT_EQ(ExecuteCommand(library, kRowResetCt, lenr, response), 0);
    EXPECT_EQ(ui.hexlist, (std::vector<std::string>{"8: CT_data=0, Src=1, Dest=2, Len=2: 90 00 "}));

    // A library that fails without touching lenr: Len=9999, and the dump shows the buffer.
    Exchange unknown = RowExchange(kRowResetCt);
    unknown.command[0] = 0xFF;
    unknown.command[1] = 0xFF;
    EXPECT_EQ(ExecuteCommand(library, unknown, lenr, response), -1);
    // The earlier answer's status word was cleared before the call.
    EXPECT_EQ(ui.hexlist.at(1).rfind("8: CT_data=-1, Src=2, Dest=1, Len=9999: 00 00 00 ", 0), 0u);
}

// CT_close empties its entry; the next run looks all three up again, in the module still loaded.
// Once the module is released there is nothing left to call.
TEST_F(BindingTest, EachRunLooksTheEntryPointsUpAgain) {
    ASSERT_EQ(library.Load("LAN2", "TST"), LoadResult::NoLibrary);
    EXPECT_FALSE(library.BeginRun());
    ASSERT_EQ(library.Load("USB", "TST"), LoadResult::Loaded);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(library.BeginRun());
        EXPECT_EQ(library.Init(1, 1), 0);
        EXPECT_EQ(library.Close(1), 0);
        EXPECT_EQ(library.EntryPoints().close, nullptr);
        EXPECT_EQ(library.Close(1), -1);  // emptied: not called again
    }
    library.Unload();
    EXPECT_FALSE(library.BeginRun());
    EXPECT_EQ(library.EntryPoints().init, nullptr);
    EXPECT_EQ(library.EntryPoints().data, nullptr);
    EXPECT_EQ(library.Init(1, 1), -1);
}

}  // namespace
}  // namespace orva::terminal
