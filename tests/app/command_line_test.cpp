#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/platform.h"
#include "core/state.h"
#include "support/recording_ui.h"
#include "support/test_support.h"

namespace orva::app {
namespace {

constexpr char S = core::kDirSeparator;

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override { core::ResetState(); }
    void TearDown() override { core::ResetState(); }

    ScanResult Scan(std::vector<std::string> args) { return ScanCommandLine(args, tmp); }

    test::RecordingUi ui;
    std::string tmp = "T";
};

struct ScanCase {
    std::vector<std::string> args;  // element 0 is the program path
    // Expected outcome.
    std::string portName;
    int port;           // CheckPortArgument
    std::string flags;  // letters of the flags set: E U D S I F
    std::string suffix;
    ScanResult result = ScanResult::Continue;
};

std::string Flags() {
    const core::RunOptions& o = core::Options();
    std::string f;
    if (o.endless)
        f += 'E';
    if (o.invisible)
        f += 'U';
    if (o.debug)
        f += 'D';
    if (o.noClientSend)
        f += 'S';
    if (o.readGdo)
        f += 'I';
    if (o.writeFile)
        f += 'F';
    return f;
}

TEST_F(CommandLineTest, Table) {
    const ScanCase cases[] = {
        {{"orva"}, "", 0, "", ""},
        {{"orva", "COM1"}, "COM1", 1, "", ""},
        {{"orva", "com1"}, "COM1", 1, "", ""},
        {{"orva", "USB"}, "USB", 1, "", ""},
        {{"orva", "XUSB"}, "XUSB", 2, "", ""},
        {{"orva", "COM"}, "COM", 0, "", ""},
        {{"orva", "LAN"}, "LAN", 0, "", ""},
        {{"orva", "COMX"}, "COMX", 0, "", ""},
        {{"orva", "LAN2"}, "LAN2", 2, "", ""},
        {{"orva", "COM1:"}, "COM1:", 0, "", ""},
        {{"orva", "COM123456"}, "COM123456", 12345, "", ""},
        {{"orva", "COM99999"}, "COM99999", 99999, "", ""},  // kept in 16 bits as 34463
        {{"orva", "\\\\.\\COM12"}, "\\\\.\\COM12", 12, "", ""},
        // The program path is examined too; a later port argument replaces it.
        {{"C:\\LANTOOLS\\ORVA.EXE"}, "C:\\LANTOOLS\\ORVA.EXE", 0, "", ""},
        {{"C:\\LANTOOLS\\ORVA.EXE", "USB"}, "USB", 1, "", ""},
        // An option that contains a port word is the port argument.
        {{"orva", "USB", "-FC:\\COMDATA\\OUT.TXT"}, "-FC:\\COMDATA\\OUT.TXT", 0, "", ""},
        {{"orva", "COM1", "-E", "/u", "-d", "-s", "-I"}, "COM1", 1, "EUDSI", ""},
        {{"orva", "COM1", "-i", "-x", "-", "/", "", "-e"}, "COM1", 1, "E", ""},
        {{"orva", "USB", "-L0123"}, "USB", 1, "", "012"},
        {{"orva", "USB", "-l01"}, "USB", 1, "", "01"},
        {{"orva", "USB", "-L"}, "USB", 1, "", ""},
        // Options before -- apply; the scan stops there.
        {{"orva", "-E", "--", "COM1", "-D"}, "", 0, "E", "", ScanResult::EndRunningInstance},
        {{"orva", std::string(5000, 'A'), std::string(5000, '/')}, "", 0, "", ""},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        core::ResetState();
        EXPECT_EQ(Scan(c.args), c.result);
        EXPECT_EQ(core::Options().portName, c.portName);
        EXPECT_EQ(Flags(), c.flags);
        EXPECT_EQ(core::Options().librarySuffix, c.suffix);
        ui.hexlist.clear();
        EXPECT_EQ(CheckPortArgument(), c.port);
        if (c.port != 0) {
            EXPECT_EQ(core::Options().portNumber, static_cast<std::uint16_t>(c.port));
            EXPECT_EQ(ui.hexlist, std::vector<std::string>{"Port=" + c.portName});
        } else {
            EXPECT_TRUE(ui.hexlist.empty());
        }
    }
}

TEST_F(CommandLineTest, LabelsShowVersionAndEveryElementExamined) {
    Scan({"P", "COM1", "-E"});
    EXPECT_EQ(ui.Label(core::Label::Version), "vIvavod EVI Version 1.27");
    EXPECT_EQ(ui.Label(core::Label::Parameter), "P COM1 -E ");
    EXPECT_EQ(ui.Label(core::Label::NameFile), "");  // the window keeps "nameFile"

    Scan({"P", "-S", "--", "COM1"});
    EXPECT_EQ(ui.Label(core::Label::Parameter), "P -S -- ");
}

TEST_F(CommandLineTest, TempDirComesFromTheTemporaryFolder) {
    Scan({"orva", "USB"});
    EXPECT_EQ(core::Options().tempDir, std::string("T") + S);
    tmp = "";
    Scan({"orva", "USB"});
    EXPECT_EQ(core::Options().tempDir, std::string(1, S));
}

TEST_F(CommandLineTest, OutputFileIsSetUpAndAnOldOneDeleted) {
    test::TempFolder folder;
    tmp = folder.Path().string();
    const std::string dir = folder.WithSeparator();
    struct Case {
        std::string element;
        std::string file;     // expected output file name
        std::string tempDir;  // expected TempDir
    };
    const Case cases[] = {
        {"-F", dir + "ORVA.TXT", dir},
        {"-fX.TXT", dir + "X.TXT", dir},
        {"/F" + dir + "sub" + S + "Y.TXT", dir + "sub" + S + "Y.TXT", dir + "sub" + S},
    };
    std::filesystem::create_directory(folder.Path() / "sub");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        core::ResetState();
        test::WriteFileBytes(c.file, {1, 2, 3});
        Scan({"orva", "USB", c.element});
        EXPECT_TRUE(core::Options().writeFile);
        EXPECT_EQ(core::Options().outputFileName, c.file);
        EXPECT_EQ(core::Options().tempDir, c.tempDir);
        EXPECT_EQ(ui.Label(core::Label::NameFile), c.file);
        EXPECT_FALSE(std::filesystem::exists(c.file));
    }
}

}  // namespace
}  // namespace orva::app
