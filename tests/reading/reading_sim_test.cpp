// Whole reading runs through the simulated terminal library, loaded the way the program loads a
// vendor's library, with the GZIP program of the program folder. What is checked is what the
// terminal received (the simulator's trace) and the record in the -F file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "reading/reading_run.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"

namespace orva::reading {
namespace {

using test::Hex;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());  // also sets the process environment the library reads
#else
    setenv(name, value.c_str(), 1);
#endif
}

Bytes Ascii(const std::string& text) { return {text.begin(), text.end()}; }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SimRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::ResetState();
        terminal::ResetCommandTable();
        core::Options().tempDir = folder.WithSeparator();
        core::Options().writeFile = true;
        core::Options().outputFileName = output.string();
        SetEnv("ORVA_SIM_TRACE", trace.string());
    }
    void TearDown() override {
        terminal::UnloadCtApiLibrary();
        terminal::EntryPoints() = {};
        SetEnv("ORVA_SIM_TRACE", "");
        SetEnv("ORVA_SIM_CARDS", "");
        core::ResetState();
        terminal::ResetCommandTable();
    }

    void Load(const std::string& cards) {
        SetEnv("ORVA_SIM_CARDS", cards);
        ASSERT_EQ(terminal::LoadCtApiLibrary("USB", "SIM"), terminal::LoadResult::Loaded);
    }

    // The trace with each CT_data line cut to the command it carried.
    Lines Calls() const {
        Lines out;
        std::ifstream in(trace);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const auto cmd = line.find("cmd=");
            if (line.rfind("CT_data", 0) == 0 && cmd != std::string::npos) {
                line = line.substr(cmd + 4, line.find(" ->") - cmd - 4);
            }
            out.push_back(line);
        }
        return out;
    }

    test::RecordingUi ui;
    test::FastSleep sleep;
    test::TempFolder folder{"orva-sim-run"};
    std::filesystem::path output = folder.Path() / "ORVA.TXT";
    std::filesystem::path trace = folder.Path() / "trace.txt";
};

TEST_F(SimRunTest, ReadsTheKvkImage) {
    Load(std::string(ORVA_TEST_DATA_DIR) + "/cards/kvk.ini");

    ButtonReadClick();

    EXPECT_EQ(Calls(), (Lines{
                           "CT_init ctn=1 pn=0 -> 0",
                           "20 11 00 00 00",
                           "20 12 01 00 01 01",
                           "00 A4 04 00 06 D2 76 00 00 01 01",
                           "00 B0 00 00 00",
                           "00 0E 00 00",
                           "20 15 01 00 01 01",
                           "CT_close ctn=1 -> 0",
                       }));
    // The template from tag 80 to the checksum tag; length bytes below 1F raised by E0, the
    // checksum value 45 as two hex digits.
    const Bytes expected =
        Hex("04 4F 4B 56 4B 20 30 31") + Hex("80 EC") + Ascii("BKK Testwerk") + Hex("81 E7") +
        Ascii("1099999") + Hex("8F E5") + Ascii("38825") + Hex("82 EA") + Ascii("4711081512") +
        Hex("83 E4") + Ascii("1000") + Hex("90 E1") + Ascii("1") + Hex("85 E4") + Ascii("Ilse") +
        Hex("87 E8") + Ascii("Br}ckner") + Hex("88 E8") + Ascii("14081962") + Hex("89 F1") +
        Ascii("Am Wei~en Stein 4") + Hex("8B E5") + Ascii("37073") + Hex("8C E9") +
        Ascii("G|ttingen") + Hex("8D E4") + Ascii("1228") + Hex("8E E1") + Ascii("45") + Hex("04");
    ASSERT_TRUE(std::filesystem::exists(output));
    EXPECT_EQ(ToHex(test::ReadFileBytes(output)), ToHex(expected));
    EXPECT_EQ(ui.hexlist.back(), "CT_close=0");
    EXPECT_TRUE(ui.boxes.empty());
}

}  // namespace
}  // namespace orva::reading
