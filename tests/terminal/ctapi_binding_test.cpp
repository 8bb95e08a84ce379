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
    void SetUp() override { ResetCommandTable(); }
    void TearDown() override {
        UnloadCtApiLibrary();
        EntryPoints() = {};
        ResetCommandTable();
    }
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
        EXPECT_EQ(LoadCtApiLibrary(c.port, c.suffix), c.expected);
        EXPECT_EQ(CtApiLibraryLoaded(), c.expected != LoadResult::NoLibrary);
        UnloadCtApiLibrary();
        EXPECT_FALSE(CtApiLibraryLoaded());
    }
}

TEST_F(BindingTest, LoadedLibraryAnswersTheTerminalReset) {
    ASSERT_EQ(LoadCtApiLibrary("USB", "TST"), LoadResult::Loaded);
    ASSERT_NE(EntryPoints().close, nullptr);
    ASSERT_EQ(EntryPoints().init(1, 1), 0);
    Response response{};
    std::uint16_t lenr = 0;
    EXPECT_EQ(ExecuteCommand(kRowResetCt, lenr, response), 0);
    EXPECT_EQ(ui.hexlist, (std::vector<std::string>{"8: CT_data=0, Src=1, Dest=2, Len=2: 90 00 "}));

    // A library that fails without touching lenr: Len=9999, and the dump stays in the buffer.
    CommandTable()[kRowResetCt].command[0] = 0xFF;
    CommandTable()[kRowResetCt].command[1] = 0xFF;
    EXPECT_EQ(ExecuteCommand(kRowResetCt, lenr, response), -1);
    EXPECT_EQ(ui.hexlist.at(1).rfind("8: CT_data=-1, Src=2, Dest=1, Len=9999: 90 00 00 ", 0), 0u);
}

TEST_F(BindingTest, LookUpAgainAfterUnloadGivesNoEntryPoints) {
    ASSERT_EQ(LoadCtApiLibrary("LAN2", "TST"), LoadResult::NoLibrary);
    ASSERT_EQ(LoadCtApiLibrary("USB", "TST"), LoadResult::Loaded);
    UnloadCtApiLibrary();
    LookUpEntryPoints();
    EXPECT_EQ(EntryPoints().init, nullptr);
    EXPECT_EQ(EntryPoints().data, nullptr);
}

}  // namespace
}  // namespace orva::terminal
