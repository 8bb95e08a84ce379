// The simulated terminal as the program meets it: ct_api_usbSIM loaded through the program's
// own LoadCtApiLibrary, rows sent with ExecuteCommand, other commands straight through the
// CT_data entry point. The library reads ORVA_SIM_CARDS at CT_init (and ORVA_SIM_TRACE at every
// call), so each test sets them before opening the terminal; the fixture unloads the library
// afterwards, and the next load starts with a fresh terminal.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "card_image.h"
#include "core/state.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"
#include "terminal/executor.h"

namespace orva::sim {
namespace {

using test::Hex;

const std::filesystem::path kCards = std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards";

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void UnsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

ByteVector Slice(const ByteVector& bytes, std::size_t from, std::size_t count) {
    from = std::min(from, bytes.size());
    count = std::min(count, bytes.size() - from);
    return ByteVector(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

ByteVector Join(ByteVector data, const std::string& sw) {
    const ByteVector tail = Hex(sw);
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        UnsetEnv("ORVA_SIM_CARDS");
        SetEnv("ORVA_SIM_TRACE", TracePath().string());
    }

    void TearDown() override {
        if (library.Loaded() && EntryPoints().close != nullptr) {
            (void)EntryPoints().close(1);
        }
        library.Unload();
        UnsetEnv("ORVA_SIM_CARDS");
        UnsetEnv("ORVA_SIM_TRACE");
        core::ResetState();
    }

    std::filesystem::path TracePath() const { return folder.Path() / "trace.txt"; }

    // Writes the image text into the test's folder and names it for the library.
    std::filesystem::path UseImage(const std::string& text) {
        const auto path = folder.Path() / ("cards" + std::to_string(++images) + ".ini");
        test::WriteFileBytes(path, ByteVector(text.begin(), text.end()));
        SetEnv("ORVA_SIM_CARDS", path.string());
        return path;
    }

    void UseFixture(const char* name) { SetEnv("ORVA_SIM_CARDS", (kCards / name).string()); }

    void Load() { ASSERT_EQ(library.Load("USB", "SIM"), terminal::LoadResult::Loaded); }

    void Open() {
        Load();
        ASSERT_EQ(EntryPoints().init(1, 1), 0);
    }

    // One row of the program's command table, as the reading run sends it.
    ByteVector Row(int row) {
        lenr = 0;
        result = terminal::ExecuteCommand(library, row, lenr, response);
        return ByteVector(response.begin(), response.begin() + std::min<std::size_t>(lenr, 9999));
    }

    // Any command, straight through CT_data, with room bytes announced.
    ByteVector Apdu(std::uint8_t destination, const std::string& command,
                    std::uint16_t room = terminal::kResponseRoom) {
        ByteVector bytes = Hex(command);
        dad = destination;
        sad = 2;
        lenr = room;
        result = EntryPoints().data(1, &dad, &sad, static_cast<std::uint16_t>(bytes.size()),
                                    bytes.data(), &lenr, response.data());
        if (result != 0) {
            return {};
        }
        return ByteVector(response.begin(), response.begin() + lenr);
    }
    ByteVector Card(const std::string& command) { return Apdu(0, command); }
    ByteVector Terminal(const std::string& command) { return Apdu(1, command); }

    // A whole binary file read the way a careful host does: by SFI, then by offset, until the
    // card says the file has ended.
    ByteVector ReadWholeFile(unsigned sfi, unsigned le) {
        ByteVector file;
        while (file.size() < 0x8000) {
            const std::size_t offset = file.size();
            char text[32];
            if (offset == 0) {
                std::snprintf(text, sizeof text, "00 B0 %02X 00 %02X", 0x80 | sfi, le & 0xFF);
            } else {
                std::snprintf(text, sizeof text, "00 B0 %02X %02X %02X",
                              static_cast<unsigned>(offset >> 8),
                              static_cast<unsigned>(offset & 0xFF), le & 0xFF);
            }
            const ByteVector answer = Card(text);
            if (answer.size() < 2) {
                ADD_FAILURE() << "no status word";
                break;
            }
            file.insert(file.end(), answer.begin(), answer.end() - 2);
            const std::uint8_t sw1 = answer[answer.size() - 2], sw2 = answer.back();
            if (!(sw1 == 0x90 && sw2 == 0x00)) {
                EXPECT_TRUE((sw1 == 0x62 && sw2 == 0x82) || (sw1 == 0x6B && sw2 == 0x00))
                    << test::ToHex(answer);
                break;
            }
        }
        return file;
    }

    test::TempFolder folder{"orva-sim"};
    test::RecordingUi ui;
    test::FastSleep sleep;
    terminal::Response response{};
    std::uint16_t lenr = 0;
    std::uint8_t dad = 0, sad = 0;
    const terminal::CtApiEntryPoints& EntryPoints() const { return library.EntryPoints(); }

    terminal::CtApiLibrary library;
    std::int8_t result = 0;
    int images = 0;
};

TEST_F(SimTest, AllThreeLibraryNamesLoad) {
    for (const char* port : {"COM1", "USB", "LAN2"}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(library.Load(port, "SIM"), terminal::LoadResult::Loaded);
        EXPECT_NE(EntryPoints().data, nullptr);
        EXPECT_NE(EntryPoints().close, nullptr);
        library.Unload();
    }
}

// The memory card as the reading run reads it: reset, request, select, read, erase, eject.
TEST_F(SimTest, KvkReadWithTheProgramsRows) {
    UseFixture("kvk.ini");
    Open();
    std::string error;
    const CardSet image = *LoadCardImage(kCards / "kvk.ini", error);
    const ByteVector& memory = image.cards.at(0).data;
    const ByteVector templ = Slice(memory, 30, memory.size() - 30);

    EXPECT_EQ(Row(terminal::kRowResetCt), Hex("90 00"));
    EXPECT_EQ(ui.hexlist.back(), "8: CT_data=0, Src=1, Dest=2, Len=2: 90 00 ");
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowSelectKvk), Hex("90 00"));
    // The whole template from the application start, and 62 82: the file ended before Le.
    EXPECT_EQ(Row(terminal::kRowReadKvk), Join(templ, "62 82"));
    EXPECT_EQ(ui.hexlist.back().substr(0, 40), "3: CT_data=0, Src=0, Dest=2, Len=127: 60");
    EXPECT_EQ(Row(terminal::kRowErase), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowEjectKvk), Hex("90 00"));
    // After the last card the terminal stays empty.
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("62 00"));
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("62 00"));
}

TEST_F(SimTest, KvkOffsetsAndLimits) {
    // A long template (60 81 CE ...) and a terminal that hands out 100 bytes at a time.
    std::string error;
    const CardSet image = *LoadCardImage(kCards / "kvk_long.ini", error);
    const ByteVector& memory = image.cards.at(0).data;
    std::string hex = test::ToHex(memory);
    UseImage("[card]\nkind = kvk\nmax_data = 100\ndata = " + hex + "\n");
    Open();
    const ByteVector templ = Slice(memory, 30, 3 + 0xCE);
    ASSERT_EQ(Terminal("20 12 01 00 01 01"), Hex("90 00"));

    struct Step {
        const char* command;
        ByteVector expected;
    };
    const Step steps[] = {
        // Before the application is selected, offsets count from the start of the memory.
        {"00 B0 00 00 04", Hex("82 13 10 91 90 00")},
        {"00 A4 04 00 06 D2 76 00 00 01 03", Hex("6A 82")},
        {"00 A4 04 00 06 D2 76 00 00 01 01", Hex("90 00")},
        {"00 B0 00 00 00", Join(Slice(templ, 0, 100), "90 00")},
        // The program's second read goes to (lenr - 3) mod 256.
        {"00 B0 00 63 00", Join(Slice(templ, 99, 100), "90 00")},
        {"00 B0 00 C8 00", Join(Slice(templ, 200, 100), "62 82")},
        {"00 B0 00 D1 00", Hex("6B 00")},
        {"00 B0 01 00 00", Hex("6B 00")},
        // Memory cards know no extended length and no short file identifiers.
        {"00 B0 00 00 00 00 00", Hex("67 00")},
        {"00 B0 81 00 00", Hex("6A 82")},
        {"00 B2 01 84 00", Hex("6A 82")},
        // The old application identifier is accepted too.
        {"00 A4 04 00 06 D2 80 00 00 01 01", Hex("90 00")},
        {"00 B0 00 00 03", Hex("60 81 CE 90 00")},
        {"00 0E 00 00", Hex("90 00")},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        EXPECT_EQ(Card(step.command), step.expected);
        EXPECT_EQ(sad, 0);
        EXPECT_EQ(dad, 2);
    }
    EXPECT_EQ(templ[3], 0x80) << "the fourth answer byte of a long template is the 80 tag";
}

// A small eGK whose files are easy to check, and every answer rule in one sequence: the
// current folder and file carry from step to step.
TEST_F(SimTest, EgkAnswers) {
    ByteVector pd(600);
    for (std::size_t i = 0; i < pd.size(); ++i) {
        pd[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    const ByteVector gdo = Hex("5A 0A 80 27 69 99 99 00 00 00 00 01");
    const ByteVector status =
        Hex("30 32 30 32 36 30 31 30 31 31 32 30 30 30 30 00 50 02 00 00 "
            "00 00 00 00 00");
    const ByteVector vd = Hex("00 08 00 0C FF FF FF FF 1F 8B 08 00 00");
    UseImage(
        "[card]\nkind = egk\nversion = 00 30 00 00 00, 00 30 00 00 01, 00 30 00 00 03\n"
        "gdo = " +
        test::ToHex(gdo) + "\nstatus = " + test::ToHex(status) + "\npd = " + test::ToHex(pd) +
        "\nvd = " + test::ToHex(vd) + "\n");
    Open();

    struct Step {
        int dad;
        const char* command;
        ByteVector expected;
    };
    const Step steps[] = {
        {1, "20 11 00 00 00", Hex("90 00")},
        {0, "00 B0 82 00 00", Hex("6F 00")},  // no card in yet
        {1, "20 12 01 00 01 01", Hex("90 01")},
        {1, "20 13 00 46 00", Hex("6D 00")},  // GET STATUS is not offered
        {1, "20 11", Hex("67 00")},
        // In the MF, before any file was named.
        {0, "00 B0 00 00 00", Hex("69 86")},
        {0, "00 B0 82 00 00", Join(gdo, "62 82")},
        {0, "00 B0 82 00 0C", Join(gdo, "90 00")},
        {0, "00 B0 82 00 04", Join(Slice(gdo, 0, 4), "90 00")},
        {0, "00 B0 81 00 00", Hex("6A 82")},  // EF.PD is not in the MF
        {0, "00 B2 01 84 00", Hex("00 30 00 00 00 90 00")},
        {0, "00 B2 03 04 00", Hex("00 30 00 00 03 90 00")},
        {0, "00 B2 02 04 03", Hex("00 30 00 90 00")},
        {0, "00 B2 02 04 08", Hex("00 30 00 00 01 62 82")},
        {0, "00 B2 04 04 00", Hex("6A 83")},
        {0, "00 B0 00 00 00", Hex("69 81")},  // the current file holds records
        // A failed SELECT leaves the MF current.
        {0, "00 A4 04 0C 06 D2 76 00 00 01 01", Hex("6A 82")},
        {0, "00 B0 82 00 00", Join(gdo, "62 82")},
        {0, "00 A4 04 0C 06 D2 76 00 00 01", Hex("67 00")},
        {0, "00 A4 04 0C 06 D2 76 00 00 01 02", Hex("90 00")},
        {0, "00 B0 00 00 00", Hex("69 86")},
        {0, "00 B0 81 00 10", Join(Slice(pd, 0, 16), "90 00")},
        {0, "00 B0 81 00 00 00 00", Join(pd, "62 82")},
        {0, "00 B0 81 00 00 02 00", Join(Slice(pd, 0, 512), "90 00")},
        {0, "00 B0 81 FF 00", Join(Slice(pd, 255, 256), "90 00")},
        {0, "00 B0 01 2C 00", Join(Slice(pd, 300, 256), "90 00")},
        {0, "00 B0 02 00 00", Join(Slice(pd, 512, 88), "62 82")},
        {0, "00 B0 02 58 00", Hex("6B 00")},
        {0, "00 B0 7F FF 00 00 00", Hex("6B 00")},
        {0, "00 B0 8C 00 00", Join(status, "62 82")},
        {0, "00 B0 8C 00 19", Join(status, "90 00")},
        {0, "00 B0 83 00 00", Hex("6A 82")},  // no separate EF.GVD
        {0, "00 B0 82 05 00", Join(Slice(vd, 5, 8), "62 82")},
        {0, "00 B0 82 00", Hex("67 00")},        // no Le
        {0, "00 B0 82 00 01 00", Hex("67 00")},  // neither short nor extended Le
        {0, "00 B2 01 84 00", Hex("6A 82")},     // EF.Version is in the MF
        {0, "00 0E 00 00", Hex("90 00")},
        {0, "00 CA 01 00 00", Hex("6D 00")},
        {0, "80 B0 82 00 00", Hex("6E 00")},
        {0, "00 B0", Hex("67 00")},
        // The program's Select Masterfile command brings the MF back.
        {0, "00 A4 04 0C 22 78 44 32 76 00 01 44", Hex("90 00")},
        {0, "00 B0 82 00 00", Join(gdo, "62 82")},
        {0, "00 A4 04 0C 07 D2 76 00 01 44 80 00", Hex("90 00")},
        {1, "20 15 01 00 01 01", Hex("90 00")},
        {0, "00 B0 82 00 00", Hex("6F 00")},
        {1, "20 12 01 00 01 01", Hex("62 00")},
        {1, "20 15 01 00 01 01", Hex("90 00")},  // nothing to eject
    };
    int number = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(++number) + ": " + step.command);
        EXPECT_EQ(Apdu(static_cast<std::uint8_t>(step.dad), step.command), step.expected);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(sad, step.dad);
        EXPECT_EQ(dad, 2);
    }
}

TEST_F(SimTest, CardSettingsChangeTheAnswers) {
    struct Case {
        const char* settings;  // added to an eGK [card] section
        std::vector<std::pair<int, const char*>> sent;
        std::vector<const char*> expected;
    };
    const Case cases[] = {
        {"extended_length = no",
         {{0, "00 A4 04 0C 06 D2 76 00 00 01 02"},
          {0, "00 B0 81 00 00 00 00"},
          {0, "00 B0 81 00 00"}},
         {"90 00", "67 00", "01 02 03 62 82"}},
        {"max_data = 2",
         {{0, "00 A4 04 0C 06 D2 76 00 00 01 02"},
          {0, "00 B0 81 00 00 00 00"},
          {0, "00 B0 00 02 00"}},
         {"90 00", "01 02 90 00", "03 62 82"}},
        {"select_mf = 6A 82",
         {{0, "00 A4 04 0C 06 D2 76 00 00 01 02"},
          {0, "00 A4 04 0C 22 78 44 32 76 00 01 44"},
          {0, "00 B0 81 00 00"}},
         {"90 00", "6A 82", "01 02 03 62 82"}},
        {"pin_polls = 2",
         {{0, "00 A4 04 0C 06 D2 76 00 00 01 02"},
          {0, "00 B0 81 00 00"},
          {0, "00 B2 01 84 00"},
          {0, "00 B0 81 00 00"},
          {0, "00 B0 81 00 00"}},
         {"90 00", "69 00", "6A 82", "69 00", "01 02 03 62 82"}},
        {"absent_polls = 2\nrequest = 90 00",
         {{1, "20 12 01 00 01 01"},
          {0, "00 B0 81 00 00"},
          {1, "20 12 01 00 01 01"},
          {1, "20 15 01 00 01 01"},
          {1, "20 12 01 00 01 01"}},
         {"62 00", "6F 00", "62 00", "90 00", "90 00"}},
        {"eject_busy = 2\neject = 6A 80",
         {{1, "20 15 01 00 01 01"},
          {1, "20 15 01 00 01 01"},
          {1, "20 15 01 00 01 01"},
          {1, "20 12 01 00 01 01"}},
         {"62 00", "62 00", "6A 80", "62 00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        UseImage(std::string("[card]\nkind = egk\npd = 01 02 03\n") + c.settings + "\n");
        Open();
        // absent_polls: the card comes in on the third request; otherwise on the first.
        if (std::string(c.settings).find("absent") == std::string::npos) {
            ASSERT_EQ(Terminal("20 12 01 00 01 01"), Hex("90 01"));
        }
        for (std::size_t i = 0; i < c.sent.size(); ++i) {
            SCOPED_TRACE(c.sent[i].second);
            EXPECT_EQ(
                test::ToHex(Apdu(static_cast<std::uint8_t>(c.sent[i].first), c.sent[i].second)),
                c.expected[i]);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(SimTest, PinWaitOfTheProgramSeesTheCardAnswerAtLast) {
    std::string error;
    const CardSet image = *LoadCardImage(kCards / "kvk.ini", error);
    UseImage("[card]\nkind = kvk\npin_polls = 3\ndata = " + test::ToHex(image.cards[0].data) +
             "\n");
    Open();
    Row(terminal::kRowRequestIcc);
    Row(terminal::kRowSelectKvk);
    EXPECT_EQ(Row(terminal::kRowReadKvk), Hex("69 00"));
    terminal::AwaitPinEntry(library, terminal::kRowReadKvk, lenr, response);
    EXPECT_EQ(sleep.Waits(), (std::vector<unsigned>{1000, 1000, 1000}));
    ASSERT_GE(lenr, 2);
    EXPECT_EQ(response[0], 0x60);
    EXPECT_EQ(response[lenr - 2], 0x62);
    EXPECT_EQ(response[lenr - 1], 0x82);
}

TEST_F(SimTest, OpenStateInitResultsAndFailingExchange) {
    UseImage("[terminal]\ninit = -10, 0\nfail_exchange = 3\n[card]\nkind = kvk\n");
    Load();
    // Nothing works before CT_init.
    EXPECT_TRUE(Terminal("20 11 00 00 00").empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(EntryPoints().close(1), -1);

    EXPECT_EQ(EntryPoints().init(1, 1), -10);
    EXPECT_TRUE(Terminal("20 11 00 00 00").empty());  // still closed
    EXPECT_EQ(EntryPoints().init(1, 1), 0);
    EXPECT_EQ(EntryPoints().init(1, 1), -1);  // already open
    EXPECT_EQ(EntryPoints().init(2, 1), 0);   // the last result repeats; ctn 2 on its own

    // The third CT_data call of the process fails and leaves lenr and the response alone.
    response.fill(0xEE);
    EXPECT_TRUE(Terminal("20 11 00 00 00").empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(lenr, terminal::kResponseRoom);
    EXPECT_EQ(response[0], 0xEE);
    EXPECT_EQ(Terminal("20 11 00 00 00"), Hex("90 00"));

    // Addresses other than the card and the terminal are refused.
    EXPECT_TRUE(Apdu(2, "20 11 00 00 00").empty());
    EXPECT_EQ(result, -1);

    EXPECT_EQ(EntryPoints().close(1), 0);
    EXPECT_EQ(EntryPoints().close(1), -1);
    EXPECT_TRUE(Terminal("20 11 00 00 00").empty());
    EXPECT_EQ(EntryPoints().close(2), 0);
    EXPECT_EQ(EntryPoints().init(1, 1), 0);
}

TEST_F(SimTest, AnswersNeverExceedTheRoomAnnounced) {
    ByteVector pd(300, 0x41);
    UseImage("[card]\nkind = egk\npd = " + test::ToHex(pd) + "\n");
    Open();
    Terminal("20 12 01 00 01 01");
    Card("00 A4 04 0C 06 D2 76 00 00 01 02");
    response.fill(0xEE);
    // Ten bytes of room: eight data bytes, and 90 00 since the file goes on.
    EXPECT_EQ(Apdu(0, "00 B0 81 00 00", 10), Join(Slice(pd, 0, 8), "90 00"));
    EXPECT_EQ(response[10], 0xEE);
    // Less than a status word of room: CT_data fails with -11 and writes nothing.
    response.fill(0xEE);
    EXPECT_TRUE(Apdu(0, "00 B0 81 00 00", 1).empty());
    EXPECT_EQ(result, -11);
    EXPECT_EQ(lenr, 1);
    EXPECT_EQ(response[0], 0xEE);
}

// Arbitrary commands of every length to both units: no crash, and every answer fits the room
// and ends with a status word.
TEST_F(SimTest, ArbitraryCommandsAreAnsweredSafely) {
    UseImage(
        "[card]\nkind = egk\nversion = 00 30 00 00 00\ngdo = 5A 0A 00\npd = 01 02 03\n"
        "vd = 00 08\nstatus = 30\n[card]\nkind = kvk\ndata = 60 03 85 01 41\n"
        "[card]\nkind = other\nrequest = 90 01\n");
    Open();
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(seed >> 16);
    };
    for (int card = 0; card < 3; ++card) {
        Terminal("20 12 01 00 01 01");
        for (int i = 0; i < 1500; ++i) {
            ByteVector command(static_cast<std::size_t>(next() % 13));
            for (auto& b : command) {
                b = next();
            }
            if (command.size() >= 2 && i % 2 == 0) {
                command[0] = i % 4 == 0 ? 0x00 : 0x20;
                command[1] =
                    std::array<std::uint8_t, 6>{0xA4, 0xB0, 0xB2, 0x0E, 0x12, 0x11}[next() % 6];
            }
            if (command.size() >= 2 && command[0] == 0x20 && command[1] == 0x15) {
                continue;  // keep the card in
            }
            dad = static_cast<std::uint8_t>(next() % 2);
            sad = 2;
            const std::uint16_t room = static_cast<std::uint16_t>(next() % 40);
            lenr = room;
            result = EntryPoints().data(1, &dad, &sad, static_cast<std::uint16_t>(command.size()),
                                        command.data(), &lenr, response.data());
            if (result == 0) {
                ASSERT_GE(lenr, 2) << test::ToHex(command);
                ASSERT_LE(lenr, room) << test::ToHex(command);
            } else {
                ASSERT_EQ(result, -11) << test::ToHex(command);
            }
        }
        ASSERT_EQ(Terminal("20 15 01 00 01 01"), Hex("90 00"));
    }
}

TEST_F(SimTest, LatencyDelaysEveryAnswer) {
    UseImage("[terminal]\nlatency_ms = 60\n");
    Open();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Terminal("20 12 01 00 01 01"), Hex("62 00"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST_F(SimTest, TraceShowsEveryCallAsPassedIn) {
    UseFixture("kvk.ini");
    Open();
    Row(terminal::kRowResetCt);
    Row(terminal::kRowRequestIcc);
    Apdu(5, "00 B0");
    EXPECT_EQ(EntryPoints().close(1), 0);
    EXPECT_TRUE(Terminal("20 11 00 00 00").empty());
    EXPECT_EQ(ReadLines(TracePath()),
              (std::vector<std::string>{
                  "CT_init ctn=1 pn=1 -> 0",
                  "CT_data ctn=1 dad=1 sad=2 cmd=20 11 00 00 00 -> 90 00 rc=0",
                  "CT_data ctn=1 dad=1 sad=2 cmd=20 12 01 00 01 01 -> 90 00 rc=0",
                  "CT_data ctn=1 dad=5 sad=2 cmd=00 B0 -> rc=-1",
                  "CT_close ctn=1 -> 0",
                  "CT_data ctn=1 dad=1 sad=2 cmd=20 11 00 00 00 -> rc=-1",
              }));
}

TEST_F(SimTest, BadImagesMakeInitFailWithOneLine) {
    // A file or folder that cannot be read once threw out of CT_init and aborted the program.
    using namespace std::string_literals;
    const std::filesystem::path sub = folder.Path() / "sub";
    std::filesystem::create_directories(sub);
    struct Case {
        std::string text;  // empty: the image file does not exist; "/": the image is a folder
        std::string fault;
    };
    const Case cases[] = {
        {"", ": cannot read the card image file"},
        {"/", ": cannot read the card image file"},
        {"[card]\nkind = kvk\ndata = 60 XY\n", ":3: bad hex digit 'X' in the value of key 'data'"},
        {"[terminal]\nreset = 90 00\nbaud = 9600\n", ":3: unknown key 'baud' in [terminal]"},
        {"[card]\nkind = egk\n\n[card]\ngdo = 00\n",
         ":4: [card] section has no 'kind' (egk, kvk or other)"},
        {"[card]\nkind = egk\ngdo = @sub\n",
         ":3: cannot read file '" + sub.string() + "' for key 'gdo'"},
        {"[card]\nkind = egk\ngdo = @\0sub\n"s,
         ":3: the file name for key 'gdo' holds a zero byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::filesystem::path path = folder.Path() / "missing.ini";
        if (c.text == "/") {
            path = sub;
            SetEnv("ORVA_SIM_CARDS", path.string());
        } else if (c.text.empty()) {
            SetEnv("ORVA_SIM_CARDS", path.string());
        } else {
            path = UseImage(c.text);
        }
        Load();
        testing::internal::CaptureStderr();
        EXPECT_EQ(EntryPoints().init(1, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ct_api simulator: " + path.string() + c.fault + "\n");
        library.Unload();
    }
}

TEST_F(SimTest, DemoCardWithoutAnImage) {
    Open();
    EXPECT_EQ(Row(terminal::kRowResetCt), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("90 01"));
    EXPECT_EQ(Row(terminal::kRowSelectMf), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowReadVersion1), Hex("00 30 00 00 00 90 00"));
    EXPECT_EQ(Row(terminal::kRowSelectHca), Hex("90 00"));
    const ByteVector status = Row(terminal::kRowReadStatus);
    ASSERT_EQ(status.size(), 27u);
    EXPECT_EQ(status[0], '0');
    const ByteVector pd = Row(terminal::kRowReadPd);
    ASSERT_GT(pd.size(), 4u);
    EXPECT_EQ(Slice(pd, pd.size() - 2, 2), Hex("62 82"));
    std::size_t consumed = 0;
    const auto xml = GunzipMember(Slice(pd, 2, pd.size() - 4), consumed);
    ASSERT_TRUE(xml.has_value());
    EXPECT_NE(std::string(xml->begin(), xml->end()).find("<Nachname>Kr\xFCmmelmann</Nachname>"),
              std::string::npos);
    EXPECT_EQ(Row(terminal::kRowEjectEgk), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("62 00"));
}

// The fixture eGK read with the program's rows: every file as the image builds it.
TEST_F(SimTest, EgkFixtureReadWithTheProgramsRows) {
    UseFixture("egk.ini");
    Open();
    std::string error;
    const CardImage card = LoadCardImage(kCards / "egk.ini", error)->cards.at(0);
    EXPECT_EQ(Row(terminal::kRowResetCt), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("90 01"));
    EXPECT_EQ(Row(terminal::kRowSelectMf), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowReadGdo), Join(*card.gdo, "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadVersion1), Join(card.version[0], "90 00"));
    EXPECT_EQ(Row(terminal::kRowReadVersion2), Join(card.version[1], "90 00"));
    EXPECT_EQ(Row(terminal::kRowReadVersion3), Join(card.version[2], "90 00"));
    EXPECT_EQ(Row(terminal::kRowSelectHca), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowReadStatus), Join(*card.status, "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadPd), Join(*card.pd, "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadVd), Join(*card.vd, "62 82"));
    EXPECT_EQ(Row(terminal::kRowErase), Hex("90 00"));
    EXPECT_EQ(Row(terminal::kRowEjectEgk), Hex("90 00"));
    EXPECT_EQ(ReadLines(TracePath()).size(), 14u);
}

// The public sample files, put on simulated cards and read back byte for byte, in one piece
// with the program's rows and in 100-byte answers by offset (past 255) on a second card.
TEST_F(SimTest, SampleFilesReadBackByteForByte) {
    const auto samples = test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no samples folder";
    }
    const auto bin = *samples / "egk_bin";
    const auto at = [&bin](const char* name) {
        std::string value = (bin / name).string();
        value.insert(value.begin(), '@');
        return value;
    };
    const std::string files = "version = " + at("egkfeuer_sim_G1Plus_EF.Version_rec1.bin") + ", " +
                              at("egkfeuer_sim_G1Plus_EF.Version_rec2.bin") + ", " +
                              at("egkfeuer_sim_G1Plus_EF.Version_rec3.bin") + "\n" +
                              "gdo = " + at("gematik_refCRP_PCSC_EF.GDO.bin") + "\n" +
                              "status = " + at("egkfeuer_sim_EF.StatusVD.bin") + "\n" +
                              "pd = " + at("egkfeuer_sim_EF.PD.bin") + "\n";
    UseImage("[card]\nkind = egk\n" + files + "vd = " + at("egkfeuer_sim_EF.VD.bin") +
             "\n[card]\nkind = egk\nextended_length = no\nmax_data = 100\n" + files +
             "vd = " + at("openhealthcore_G2_1_testcard_EF.VD.bin") + "\n");
    Open();
    const auto file = [&bin](const char* name) { return test::ReadFileBytes(bin / name); };

    Row(terminal::kRowRequestIcc);
    Row(terminal::kRowSelectMf);
    EXPECT_EQ(Row(terminal::kRowReadGdo), Join(file("gematik_refCRP_PCSC_EF.GDO.bin"), "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadVersion1),
              Join(file("egkfeuer_sim_G1Plus_EF.Version_rec1.bin"), "90 00"));
    EXPECT_EQ(Row(terminal::kRowReadVersion2),
              Join(file("egkfeuer_sim_G1Plus_EF.Version_rec2.bin"), "90 00"));
    EXPECT_EQ(Row(terminal::kRowReadVersion3),
              Join(file("egkfeuer_sim_G1Plus_EF.Version_rec3.bin"), "90 00"));
    Row(terminal::kRowSelectHca);
    EXPECT_EQ(Row(terminal::kRowReadStatus), Join(file("egkfeuer_sim_EF.StatusVD.bin"), "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadPd), Join(file("egkfeuer_sim_EF.PD.bin"), "62 82"));
    EXPECT_EQ(Row(terminal::kRowReadVd), Join(file("egkfeuer_sim_EF.VD.bin"), "62 82"));
    EXPECT_EQ(Row(terminal::kRowEjectEgk), Hex("90 00"));

    // The second card: short Le only, at most 100 bytes an answer.
    EXPECT_EQ(Row(terminal::kRowRequestIcc), Hex("90 01"));
    EXPECT_EQ(Card("00 B0 81 00 00"), Hex("6A 82"));  // EF.PD is not in the MF
    EXPECT_EQ(ReadWholeFile(2, 0), file("gematik_refCRP_PCSC_EF.GDO.bin"));
    Row(terminal::kRowSelectHca);
    EXPECT_EQ(Row(terminal::kRowReadVd), Hex("67 00"));
    EXPECT_EQ(ReadWholeFile(1, 0), file("egkfeuer_sim_EF.PD.bin"));
    EXPECT_EQ(ReadWholeFile(2, 0), file("openhealthcore_G2_1_testcard_EF.VD.bin"));
    EXPECT_EQ(ReadWholeFile(12, 0x19), file("egkfeuer_sim_EF.StatusVD.bin"));
}

}  // namespace
}  // namespace orva::sim
