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

Bytes Ascii(const std::string& text) {
    return {text.begin(), text.end()};
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SimRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        core::Options().tempDir = folder.WithSeparator();
        core::Options().writeFile = true;
        core::Options().outputFileName = output.string();
        SetEnv("ORVA_SIM_TRACE", trace.string());
    }
    void TearDown() override {
        library.Unload();
        SetEnv("ORVA_SIM_TRACE", "");
        SetEnv("ORVA_SIM_CARDS", "");
        core::ResetState();
    }

    terminal::TerminalSession session;

    void Load(const std::string& cards) {
        SetEnv("ORVA_SIM_CARDS", cards);
        ASSERT_EQ(library.Load("USB", "SIM"), terminal::LoadResult::Loaded);
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

    terminal::CtApiLibrary library;
    test::RecordingUi ui;
    test::FastSleep sleep;
    test::TempFolder folder{"orva-sim-run"};
    std::filesystem::path output = folder.Path() / "ORVA.TXT";
    std::filesystem::path trace = folder.Path() / "trace.txt";
};

TEST_F(SimRunTest, ReadsTheKvkImage) {
    Load(std::string(ORVA_TEST_DATA_DIR) + "/cards/kvk.ini");

    ButtonReadClick(library, session);

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

// The simulator's demo eGK, with -I: all five files, then the record of the flattened personal
// and insurance data (the protected data behind "GD>"), the status text, version and ICCSN.
TEST_F(SimRunTest, ReadsTheDemoEgk) {
    core::Options().readGdo = true;
    Load("");

    ButtonReadClick(library, session);

    EXPECT_EQ(Calls(), (Lines{
                           "CT_init ctn=1 pn=0 -> 0",
                           "20 11 00 00 00",
                           "20 12 01 00 01 01",
                           "00 A4 04 0C 22 78 44 32 76 00 01 44",
                           "00 B0 82 00 00",
                           "00 B2 01 84 00",
                           "00 B2 02 04 00",
                           "00 B2 03 04 00",
                           "00 A4 04 0C 06 D2 76 00 00 01 02",
                           "00 B0 8C 00 00",
                           "00 B0 81 00 00 00 00",
                           "00 B0 82 00 00 00 00",
                           "00 0E 00 00",
                           "20 15 01 00 01 01",
                           "CT_close ctn=1 -> 0",
                       }));
    const std::string text =
        "PD>CDM_VERSION>5.2.0\n"
        "Versicherter>Versicherten_ID>T808808801\n"
        "Versicherter>Person>Geburtsdatum>19580723\n"
        "Versicherter>Person>Vorname>Ottilie\n"
        "Versicherter>Person>Nachname>Kr\xFCmmelmann\n"
        "Versicherter>Person>Geschlecht>W\n"
        "Versicherter>Person>StrassenAdresse>Postleitzahl>34117\n"
        "Versicherter>Person>StrassenAdresse>Ort>Kassel\n"
        "Versicherter>Person>StrassenAdresse>Land>Wohnsitzlaendercode>D\n"
        "Versicherter>Person>StrassenAdresse>Strasse>Am Beispielhang\n"
        "Versicherter>Person>StrassenAdresse>Hausnummer>7a\n"
        "VD>CDM_VERSION>5.2.0\n"
        "Versicherter>Versicherungsschutz>Beginn>20190401\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerkennung>109999907\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerlaendercode>D\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Name>Demo BKK\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Versichertenart>1\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>WOP>02\n"
        "GD>Zuzahlungsstatus>Status>0\n"
        "Selektivvertraege>Aerztlich>0\n"
        "Selektivvertraege>Zahnaerztlich>0\n"
        "ST>02026010509300000500200000000000000"
        "\nVER>003000000000300000010030000003"
        "\nICCSN>5A0A80276999990000123456";
    ASSERT_TRUE(std::filesystem::exists(output));
    const Bytes record = test::ReadFileBytes(output);
    EXPECT_EQ(std::string(record.begin(), record.end()), "\x04OKVK 01" + text + "\x04");
    EXPECT_EQ(core::Reader().cardKind, core::CardKind::Egk);
    EXPECT_EQ(ui.hexlist.back(), "CT_close=0");
    EXPECT_TRUE(ui.boxes.empty());
    // The stored files: the status text, and the gzip data of EF.PD and EF.VD.
    EXPECT_EQ(test::ReadFileBytes(folder.Path() / "ST.TXT"),
              Ascii("02026010509300000500200000000000000"));
    const Bytes pd = test::ReadFileBytes(folder.Path() / "PD.GZ");
    ASSERT_GE(pd.size(), 2u);
    EXPECT_EQ(ToHex(Bytes(pd.begin(), pd.begin() + 2)), "1F 8B");
}

// A card holding the public sample files of a generation-1-plus test card, as the card issuer
// wrote them: EF.PD, EF.VD (insurance data, then protected data), EF.StatusVD and EF.Version.
TEST_F(SimRunTest, ReadsAnEgkMadeOfRealCardFiles) {
    const auto samples = test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no sample folder";
    }
    const auto bin = *samples / "egk_bin";
    for (const auto& [from, to] : {std::pair{"egkfeuer_sim_EF.PD.bin", "pd.bin"},
                                   std::pair{"egkfeuer_sim_EF.VD.bin", "vd.bin"},
                                   std::pair{"egkfeuer_sim_EF.StatusVD.bin", "status.bin"}}) {
        std::filesystem::copy_file(bin / from, folder.Path() / to);
    }
    std::string version;
    for (const char* record :
         {"egkfeuer_sim_G1Plus_EF.Version_rec1.bin", "egkfeuer_sim_G1Plus_EF.Version_rec2.bin",
          "egkfeuer_sim_G1Plus_EF.Version_rec3.bin"}) {
        version += (version.empty() ? "" : ", ") + ToHex(test::ReadFileBytes(bin / record));
    }
    const auto image = folder.Path() / "card.ini";
    std::ofstream(image) << "[card]\nkind = egk\nversion = " << version
                         << "\nstatus = @status.bin\npd = @pd.bin\nvd = @vd.bin\n";
    Load(image.string());

    ButtonReadClick(library, session);

    EXPECT_EQ(Calls(), (Lines{
                           "CT_init ctn=1 pn=0 -> 0",
                           "20 11 00 00 00",
                           "20 12 01 00 01 01",
                           "00 A4 04 0C 22 78 44 32 76 00 01 44",
                           "00 B2 01 84 00",
                           "00 B2 02 04 00",
                           "00 B2 03 04 00",
                           "00 A4 04 0C 06 D2 76 00 00 01 02",
                           "00 B0 8C 00 00",
                           "00 B0 81 00 00 00 00",
                           "00 B0 82 00 00 00 00",
                           "00 0E 00 00",
                           "20 15 01 00 01 01",
                           "CT_close ctn=1 -> 0",
                       }));
    // PD.GZ: the 367 gzip bytes behind EF.PD's count; VD.GZ: up to the end offset 0x27D.
    EXPECT_EQ(test::ReadFileBytes(folder.Path() / "PD.GZ").size(), 0x16Fu);
    EXPECT_EQ(test::ReadFileBytes(folder.Path() / "VD.GZ").size(), 0x27Du);
    const std::string text =
        "PD>CDM_VERSION>5.1.0\n"
        "Versicherter>Versicherten_ID>D110104619\n"
        "Versicherter>Person>Geburtsdatum>19800112\n"
        "Versicherter>Person>Vorname>Ltu\n"
        "Versicherter>Person>Nachname>Musterkarte-0461\n"
        "Versicherter>Person>Geschlecht>M\n"
        "Versicherter>Person>StrassenAdresse>Postleitzahl>24937\n"
        "Versicherter>Person>StrassenAdresse>Ort>Flensburg\n"
        "Versicherter>Person>StrassenAdresse>Land>Wohnsitzlaendercode>D\n"
        "Versicherter>Person>StrassenAdresse>Strasse>M\xFChlenstr.\n"
        "Versicherter>Person>StrassenAdresse>Hausnummer>46\n"
        "VD>CDM_VERSION>5.1.0\n"
        "Versicherter>Versicherungsschutz>Beginn>19970901\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerkennung>101560000\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerlaendercode>DE\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>Name>Deutsche Angestellten Krankenkasse\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>AbrechnenderKostentraeger>"
        "Kostentraegerkennung>101560000\n"
        "Versicherter>Versicherungsschutz>Kostentraeger>AbrechnenderKostentraeger>"
        "Name>Deutsche Angestellten Krankenkasse\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Rechtskreis>1\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Versichertenart>1\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Versichertenstatus_RSA>2\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>"
        "Kostenerstattung_ambulant>0\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>"
        "Kostenerstattung_stationaer>0\n"
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>WOP>01\n"
        "GD>Zuzahlungsstatus>Status>0\n"
        "DMP_Kennzeichnung>3\n"
        "ST>02009071014444100500100000000000000"
        "\nVER>003000000000300000010030000003";
    ASSERT_TRUE(std::filesystem::exists(output));
    const Bytes record = test::ReadFileBytes(output);
    EXPECT_EQ(std::string(record.begin(), record.end()), "\x04OKVK 01" + text + "\x04");
    EXPECT_TRUE(ui.boxes.empty());
}

// A template in the long length form (60 81 CE): its fourth answer byte is 80, so the data
// begin one byte later; the whole template comes in one answer ending with 62 82.
TEST_F(SimRunTest, ReadsALongKvkTemplate) {
    Load(std::string(ORVA_TEST_DATA_DIR) + "/cards/kvk_long.ini");

    ButtonReadClick(library, session);

    const Lines calls = Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[4], "00 B0 00 00 00");
    EXPECT_EQ(calls[5], "00 0E 00 00");
    const Bytes record = test::ReadFileBytes(output);
    ASSERT_GT(record.size(), 12u);
    EXPECT_EQ(ToHex(Bytes(record.begin(), record.begin() + 12)),
              "04 4F 4B 56 4B 20 30 31 80 FC 42 65");
    // Ends with the checksum tag and its length byte, then the checksum 46 as hex digits.
    EXPECT_EQ(ToHex(Bytes(record.end() - 5, record.end())), "8E E1 34 36 04");
    // Header, the 0xCE template bytes but the checksum, its two digits, the trailer.
    EXPECT_EQ(record.size(), 8u + (0xCE - 1) + 2 + 1);
}

}  // namespace
}  // namespace orva::reading
