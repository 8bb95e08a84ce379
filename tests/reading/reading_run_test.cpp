#include "reading/reading_run.h"

#include <gtest/gtest.h>

#include "reading/reading_fixture.h"
#include "record/delivery.h"
#include "terminal/ctapi_binding.h"
#include "terminal/executor.h"

namespace orva::reading {
namespace {

using test::Hex;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr char kReset[] = "20 11 00 00 00";
constexpr char kRequest[] = "20 12 01 00 01 01";
constexpr char kSelectKvk[] = "00 A4 04 00 06 D2 76 00 00 01 01";
constexpr char kReadKvk[] = "00 B0 00 00 00";
constexpr char kErase[] = "00 0E 00 00";
constexpr char kEject[] = "20 15 01 00 01 01";
constexpr char kSelectMf[] = "00 A4 04 0C 22 78 44 32 76 00 01 44";
constexpr char kSelectHca[] = "00 A4 04 0C 06 D2 76 00 00 01 02";
constexpr char kVersion1[] = "00 B2 01 84 00";
constexpr char kVersion2[] = "00 B2 02 04 00";
constexpr char kVersion3[] = "00 B2 03 04 00";
constexpr char kStatus[] = "00 B0 8C 00 00";
constexpr char kPd[] = "00 B0 81 00 00 00 00";
constexpr char kVd[] = "00 B0 82 00 00 00 00";
constexpr char kGdo[] = "00 B0 82 00 00";

constexpr char kMemoryCard[] = "A2 13 10 91 90 00";  // REQUEST ICC: ATR of a memory card
constexpr char kProcessorCard[] = "90 01";
// A KVK template cut short: tag 80 and the checksum tag 8E 01 5A.
constexpr char kShortTemplate[] = "60 0A 80 03 41 42 43 8E 01 5A 62 82";
const Bytes kHeader = Hex("04 4F 4B 56 4B 20 30 31");
// The record of kShortTemplate: bytes below 1F raised by E0, the checksum as hex digits.
const Bytes kShortRecord = Hex("04 4F 4B 56 4B 20 30 31 80 E3 41 42 43 8E E1 35 41 04");
const Bytes kErrorRecord(record::kErrorRecord.begin(), record::kErrorRecord.end());

const std::string kIncomplete = "Daten unvollst\xE4ndig! (";

class ReadingRunTest : public ReadingTest {
  protected:
    void SetUp() override {
        ReadingTest::SetUp();
        output = UseOutputFile();
    }

    Bytes Record() const {
        return std::filesystem::exists(output) ? test::ReadFileBytes(output) : Bytes{};
    }

    // The terminal is reset and a memory card is found at the first request.
    void ExpectKvkCard() { ctapi.Expect(kReset, "90 00").Expect(kRequest, kMemoryCard); }

    // An eGK whose status data are missing: nothing more is read.
    void ExpectEgkWithoutStatus(const char* resetAnswer = "90 00") {
        ctapi.Expect(kReset, resetAnswer)
            .Expect(kRequest, kProcessorCard)
            .Expect(kSelectMf, "90 00");
    }
    void ExpectVersionAndHca() {
        ctapi.Expect(kVersion1, "00 30 00 00 00 90 00")
            .Expect(kVersion2, "00 30 00 01 00 90 00")
            .Expect(kVersion3, "00 30 00 03 00 90 00")
            .Expect(kSelectHca, "90 00");
    }

    std::filesystem::path output;
};

// ---------------------------------------------------------------------------------------------
// A whole KVK run

TEST_F(ReadingRunTest, KvkRunWaitsForTheCardReadsTwiceErasesEjectsAndDelivers) {
    core::Options().portNumber = 3;
    ctapi.closeResult = -1;
    ctapi.Expect(kReset, "90 00")
        .Expect(kRequest, "62 00")
        .Expect(kRequest, "62 00")
        .Expect(kRequest, kMemoryCard)
        .Expect(kSelectKvk, "90 00")
        .Expect(kReadKvk, "60 0A 80 03 41 42 90 00")
        // The second read starts at lenr - 3 = 5, one byte before the end of the first.
        .Expect("00 B0 00 05 00", "42 43 8E 01 5A 62 82")
        .Expect(kErase, "90 00")
        .Expect(kEject, "62 00")
        .Expect(kEject, "62 00")
        .Expect(kEject, "62 00")
        .Expect(kEject, "90 00");

    ButtonReadClick(ctapi, session);

    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(ctapi.calls.front(), "init 1 3");
    EXPECT_EQ(ctapi.calls.back(), "close 1");
    EXPECT_EQ(sleep.Waits(), (std::vector<unsigned>{1000, 1000, 200, 200, 200}));
    // Stored: the first answer from the tag 80 on with its status word, then the second's data.
    EXPECT_EQ(ToHex(Record()),
              ToHex(kHeader + Hex("80 E3 41 42 90 E0 42 43 8E E1") + Ascii("5A") + Hex("04")));
    EXPECT_EQ(ui.memo, (Lines{"`x0A x80 x03 ABx90 x00 ", ""}));
    EXPECT_EQ(ui.hexlist.size(), 13u);
    EXPECT_EQ(ui.hexlist[5], "3: CT_data=0, Src=0, Dest=2, Len=8: 60 0A 80 03 41 42 90 00 ");
    EXPECT_EQ(ui.hexlist.back(), "CT_close=65535");
    EXPECT_EQ(ui.status.back(), " ");
    EXPECT_EQ(core::Reader().cardKind, core::CardKind::Kvk);
    EXPECT_EQ(ui.terminates, 0);
    EXPECT_TRUE(ui.boxes.empty());
}

// ---------------------------------------------------------------------------------------------
// Where the KVK data begin, and where the second read goes

Bytes Repeat(std::size_t count, std::uint8_t byte) {
    return Bytes(count, byte);
}

struct KvkCase {
    const char* name;
    Bytes first;
    const char* second;  // the second READ BINARY, or "" when none is made
    Bytes record;
    std::string box;  // the text of a "Fehler" box, or "" when none
    friend void PrintTo(const KvkCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<KvkCase> KvkCases() {
    const Bytes tail = Hex("41 8E 01 5A 62 82");
    return {
        {"FourthByte80", Hex("60 81 0A 80 03 41 42 43 8E 01 5A 62 82"), "", kShortRecord, ""},
        {"ThirdByte80", Hex(kShortTemplate), "", kShortRecord, ""},
        // Neither 80 nor 84: stored from the first byte on, which composition refuses.
        {"No80Or84", Hex("41 42 43 62 82"), "", kErrorRecord, kIncomplete + "5): 41 42\n"},
        // Data that only begin like the ErrorRecord are incomplete data too, not a record.
        {"BeginsLikeTheErrorRecord", Hex("04 4F"), "", kErrorRecord, kIncomplete + "2): 04 4f\n"},
        // No answer at all: the ErrorRecord, not an empty record.
        {"NoAnswer", {}, "", kErrorRecord, ""},
        // 256 data bytes and 90 00: the second read goes to FF.
        {"SecondReadAtFF", Hex("60 81 FE 80 1A") + Repeat(251, 0x41) + Hex("90 00"),
         "00 B0 00 FF 00",
         kHeader + Hex("80 FA") + Repeat(251, 0x41) + Hex("90 E0 41 8E E1") + Ascii("5A") +
             Hex("04"),
         ""},
        {"SecondReadAtFD", Hex("60 81 FC 80 1A") + Repeat(249, 0x41) + Hex("90 00"),
         "00 B0 00 FD 00",
         kHeader + Hex("80 FA") + Repeat(249, 0x41) + Hex("90 E0 41 8E E1") + Ascii("5A") +
             Hex("04"),
         ""},
    };
}

class KvkDataTest : public ReadingRunTest, public ::testing::WithParamInterface<KvkCase> {};

TEST_P(KvkDataTest, StoresTheTemplateAndDelivers) {
    const KvkCase& c = GetParam();
    ExpectKvkCard();
    ctapi.Expect(kSelectKvk, "90 00").Expect(kReadKvk, ToHex(c.first));
    if (*c.second != '\0') {
        ctapi.Expect(c.second, "41 8E 01 5A 62 82");
    }
    ctapi.Expect(kErase, "90 00").Expect(kEject, "90 00");

    ButtonReadClick(ctapi, session);

    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(ToHex(Record()), ToHex(c.record));
    if (c.box.empty()) {
        EXPECT_TRUE(ui.boxes.empty());
    } else {
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].text, c.box);
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, KvkDataTest, ::testing::ValuesIn(KvkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The card asks for the PIN: the read is repeated every second until it answers, or until the
// user aborts; then the run goes on with the last answer.
struct PinCase {
    const char* name;
    bool abort;
    Bytes record;
    friend void PrintTo(const PinCase& c, std::ostream* os) { *os << c.name; }
};

class KvkPinTest : public ReadingRunTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(KvkPinTest, ReadWaitsForThePin) {
    const PinCase& c = GetParam();
    ExpectKvkCard();
    ctapi.Expect(kSelectKvk, "90 00").Expect(kReadKvk, "69 00");
    if (c.abort) {
        ctapi.Then({kReadKvk, "69 00", 0, true, [] { core::Reader().abort = true; }});
    } else {
        ctapi.Expect(kReadKvk, "69 00").Expect(kReadKvk, kShortTemplate);
    }
    ctapi.Expect(kErase, "90 00").Expect(kEject, "90 00");

    ButtonReadClick(ctapi, session);

    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(ToHex(Record()), ToHex(c.record));
    EXPECT_EQ(std::count(ui.status.begin(), ui.status.end(), terminal::kPinPrompt),
              c.abort ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Pin, KvkPinTest,
                         ::testing::Values(PinCase{"Entered", false, kShortRecord},
                                           PinCase{"Aborted", true, kErrorRecord}),
                         [](const auto& info) { return std::string(info.param.name); });

// ERASE BINARY goes out unless Debug is set and delRecord is not ticked.
TEST_F(ReadingRunTest, EraseOnlyOutsideDebugOrWhenTicked) {
    struct Case {
        bool debug, ticked, erased;
    };
    for (const Case c :
         {Case{false, false, true}, Case{true, false, false}, Case{true, true, true}}) {
        SCOPED_TRACE(testing::Message() << "debug " << c.debug << " ticked " << c.ticked);
        test::ScriptedCtApi script;
        std::filesystem::remove(output);
        core::Options().debug = c.debug;
        ui.delRecord = c.ticked;
        script.Expect(kReset, "90 00")
            .Expect(kRequest, kMemoryCard)
            .Expect(kSelectKvk, "90 00")
            .Expect(kReadKvk, kShortTemplate);
        if (c.erased) {
            script.Expect(kErase, "90 00");
        }
        script.Expect(kEject, "90 00");
        ButtonReadClick(script, session);
        EXPECT_EQ(script.Remaining(), 0u);
        EXPECT_EQ(Record(), kShortRecord);
    }
}

// ---------------------------------------------------------------------------------------------
// Opening the terminal

struct InitCase {
    const char* name;
    std::vector<std::int8_t> results;
    bool debug;
    Lines lines;      // the first lines of the command log
    const char* box;  // "" when none
    bool runs;
    friend void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }
};

class InitTest : public ReadingRunTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitTest, OpensTheTerminalOrEndsTheRun) {
    const InitCase& c = GetParam();
    ctapi.initResults = c.results;
    core::Options().debug = c.debug;
    if (c.runs) {
        ctapi.Expect(kReset, "90 00").Expect(kRequest, "6F 00");
    }

    ButtonReadClick(ctapi, session);

    ASSERT_GE(ui.hexlist.size(), c.lines.size());
    EXPECT_EQ(Lines(ui.hexlist.begin(), ui.hexlist.begin() + static_cast<long>(c.lines.size())),
              c.lines);
    EXPECT_EQ(std::count(ctapi.calls.begin(), ctapi.calls.end(), "init 1 0"),
              static_cast<long>(c.results.size()));
    if (*c.box == '\0') {
        EXPECT_TRUE(ui.boxes.empty());
    } else {
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].caption, "Fehler CT_init");
        EXPECT_EQ(ui.boxes[0].text, c.box);
        EXPECT_EQ(ui.boxes[0].icon, core::BoxIcon::None);
    }
    if (c.runs) {
        EXPECT_EQ(ctapi.calls.back(), "close 1");
        EXPECT_EQ(Record(), kErrorRecord);  // the card answered nothing usable
    } else {
        EXPECT_EQ(ctapi.calls.size(), c.results.size());  // no CT_data, no CT_close
        EXPECT_FALSE(std::filesystem::exists(output));
        EXPECT_EQ(ui.hexlist.size(), c.lines.size());
    }
    EXPECT_EQ(sleep.Waits(),
              c.results.front() == -10 ? std::vector<unsigned>{500} : std::vector<unsigned>{});
}

INSTANTIATE_TEST_SUITE_P(
    Init, InitTest,
    ::testing::Values(
        InitCase{
            "RetryAfterTransmissionError", {-10, 0}, false, {"Fehler 1. CT_init=-10"}, "", true},
        InitCase{"FailsInDebug", {-1}, true, {"Fehler CT_init=-1"}, "", false},
        InitCase{"FailsWithBox",
                 {-1},
                 false,
                 {"Fehler CT_init=-1"},
                 "Verbindung zum KVK-/eGK-Terminal pr\xFC"
                 "fen (Fehler -1)",
                 false},
        InitCase{"FailsTwice",
                 {-10, -10},
                 false,
                 {"Fehler 1. CT_init=-10", "Fehler CT_init=-10"},
                 "Verbindung zum KVK-/eGK-Terminal pr\xFC"
                 "fen (Fehler -10)",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// Serial mode: no library, so no entry points. Nothing is called; it reads as a failed CT_init.
TEST_F(ReadingRunTest, WithoutLibraryNothingIsCalled) {
    core::Options().debug = true;
    terminal::CtApiLibrary none;
    ButtonReadClick(none, session);
    EXPECT_EQ(ui.hexlist, Lines{"Fehler CT_init=-1"});
    EXPECT_FALSE(std::filesystem::exists(output));
}

// ---------------------------------------------------------------------------------------------
// Waiting for a card

// 64 00 and 69 00: reset the terminal and ask once more, within the same cycle. An answer that
// is no card at all ends in the ErrorRecord, without an eject.
TEST_F(ReadingRunTest, FailedCardResetResetsTheTerminalAndAsksAgain) {
    for (const char* answer : {"64 00", "69 00"}) {
        SCOPED_TRACE(answer);
        test::ScriptedCtApi script;
        std::filesystem::remove(output);
        script.Expect(kReset, "90 00")
            .Expect(kRequest, answer)
            .Expect(kReset, "90 00")
            .Expect(kRequest, "6F 00");
        ButtonReadClick(script, session);
        EXPECT_EQ(script.Remaining(), 0u);
        EXPECT_EQ(script.calls.back(), "close 1");
        EXPECT_EQ(Record(), kErrorRecord);
        EXPECT_TRUE(sleep.Waits().empty());
    }
}

TEST_F(ReadingRunTest, AbortWhileWaitingClosesAndTerminatesWithoutDelivery) {
    ctapi.Expect(kReset, "90 00").Expect(kRequest, "62 00");
    ctapi.Then({kRequest, "62 00", 0, true, [] { core::Reader().abort = true; }});

    ButtonReadClick(ctapi, session);

    EXPECT_EQ(ctapi.Remaining(), 0u);
    EXPECT_EQ(ctapi.calls.back(), "close 1");
    EXPECT_EQ(ui.terminates, 1);
    EXPECT_FALSE(std::filesystem::exists(output));
    for (const auto& line : ui.hexlist) {
        EXPECT_EQ(line.find("CT_close="), std::string::npos);
    }
}

// ---------------------------------------------------------------------------------------------
// The eGK branch (the whole eGK run with real files runs against the simulated terminal)

TEST_F(ReadingRunTest, EgkOfAnotherGenerationShowsTheNoticeAndReadsOn) {
    core::Options().invisible = true;
    ctapi.Expect(kReset, "90 00").Expect(kRequest, kProcessorCard).Expect(kSelectMf, "6A 82");
    ExpectVersionAndHca();
    ctapi.Expect(kStatus, "6A 82")
        .Expect(kEject, "62 00")
        .Expect(kEject, "6A 80")
        .Expect(kReset, "90 00");

    ButtonReadClick(ctapi, session);

    EXPECT_EQ(ctapi.Remaining(), 0u);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "Hinweis");
    EXPECT_EQ(ui.boxes[0].text,
              "Keine Generation 1 Gesundheitskarte!\nVerarbeitung ab dem 1.4.2012 nicht mehr "
              "m\xF6glich!");
    EXPECT_EQ(core::Reader().cardKind, core::CardKind::Egk);
    EXPECT_TRUE(Stored("ST.TXT").empty());
    EXPECT_EQ(Stored("VER.TXT"), Ascii("003000000000300001000030000300"));
    EXPECT_EQ(Record(), kErrorRecord);  // no status data: nothing else read, nothing erased
    EXPECT_EQ(ui.terminates, 1);        // invisible: the application ends after delivery
}

// Each of ST.TXT, PD.GZ and VD.GZ must store something, else the ErrorRecord goes out after
// the card has been ejected.
TEST_F(ReadingRunTest, MissingEgkFileDeliversTheErrorRecord) {
    const char* kStatusAnswer =
        "30 32 30 30 39 30 37 31 30 31 34 34 34 34 31 "
        "00 50 01 00 00 00 00 00 00 00 90 00";
    struct Case {
        const char* name;
        std::string pd;
        const char* vd;
        const char* pdMore = nullptr;  // the answer to a follow-up read of EF.PD
    };
    // EF.PD announces 0x150 bytes and the card stops after the first 254: part of the personal
    // data must not reach the client as if they were all.
    std::string pdHead = "01 50";
    for (int i = 0; i < 254; ++i) pdHead += " 41";
    const char* vdAnswer = "00 08 00 0B FF FF FF FF 1F 8B 08 00 62 82";
    for (const Case& c : {Case{"PdEmpty", "6A 82", vdAnswer},
                          Case{"VdEmpty", "00 04 1F 8B 08 00 62 82", "00 08 00 62 82"},
                          Case{"PdCutShort", pdHead + " 90 00", vdAnswer, "6B 00"}}) {
        SCOPED_TRACE(c.name);
        test::ScriptedCtApi script;
        std::filesystem::remove(output);
        script.Expect(kReset, "90 00").Expect(kRequest, kProcessorCard).Expect(kSelectMf, "90 00");
        script.Expect(kVersion1, "90 00").Expect(kSelectHca, "90 00");
        script.Expect(kStatus, kStatusAnswer).Expect(kPd, c.pd);
        if (c.pdMore != nullptr) {
            script.Expect("00 B0 01 00 00 00 00", c.pdMore);
        }
        script.Expect(kVd, c.vd);
        script.Expect(kErase, "90 00").Expect(kEject, "90 00");
        ButtonReadClick(script, session);
        EXPECT_EQ(script.Remaining(), 0u);
        EXPECT_EQ(script.calls.back(), "close 1");
        EXPECT_EQ(Record(), kErrorRecord);
        EXPECT_EQ(Stored("ST.TXT").size(), 35u);
    }
}

// EF.GDO is read only with -I and when the first terminal reset answered 90 00.
TEST_F(ReadingRunTest, SerialNumberOnlyWithOptionAndGoodReset) {
    struct Case {
        bool readGdo;
        const char* reset;
        bool read;
    };
    for (const Case c :
         {Case{true, "90 00", true}, Case{false, "90 00", false}, Case{true, "64 00", false}}) {
        SCOPED_TRACE(testing::Message() << c.readGdo << " " << c.reset);
        test::ScriptedCtApi script;
        std::filesystem::remove(output);
        core::Options().readGdo = c.readGdo;
        script.Expect(kReset, c.reset).Expect(kRequest, kProcessorCard).Expect(kSelectMf, "90 00");
        if (c.read) {
            script.Expect(kGdo, "5A 0A 80 27 68 83 11 00 00 01 72 22 90 00");
        }
        script.Expect(kVersion1, "90 00")
            .Expect(kSelectHca, "90 00")
            .Expect(kStatus, "6A 82")
            .Expect(kEject, "90 00");
        const std::optional<CardRead> read = ReadCard(script, session);
        EXPECT_EQ(script.Remaining(), 0u);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->card.iccsn, c.read ? "5A0A80276883110000017222" : "");
        EXPECT_EQ(read->card.bytes, kErrorRecord);  // no status data
        EXPECT_EQ(std::filesystem::exists(TempFile("GDO.TXT")), c.read);
        std::filesystem::remove(TempFile("GDO.TXT"));
    }
}

// ---------------------------------------------------------------------------------------------
// Eject loops against a failing library

TEST_F(ReadingRunTest, EjectLoopDoesNotSpinOnAFailingLibrary) {
    struct Case {
        const char* name;
        std::vector<test::ScriptedExchange> ejects;
        std::vector<unsigned> waits;
    };
    const std::vector<Case> cases = {
        // A terminal that answers 62 00 at once: 200 ms before each new attempt.
        {"AnsweringAtOnce",
         {{kEject, "62 00", 0, true, {}},
          {kEject, "62 00", 0, true, {}},
          {kEject, "90 00", 0, true, {}}},
         {200, 200}},
        // The failing call leaves the buffer alone: the old 62 00 is gone, the loop ends.
        {"Untouched", {{kEject, "62 00", 0, true, {}}, {kEject, "", -1, false, {}}}, {200}},
        // A failed exchange is no answer, even one that wrote 62 00: the loop ends.
        {"FailingWith6200", {{kEject, "62 00", -1, true, {}}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedCtApi script;
        std::filesystem::remove(output);
        test::FastSleep waits;
        script.Expect(kReset, "90 00")
            .Expect(kRequest, kMemoryCard)
            .Expect(kSelectKvk, "90 00")
            .Expect(kReadKvk, kShortTemplate)
            .Expect(kErase, "90 00");
        for (const auto& eject : c.ejects) {
            script.Then(eject);
        }
        ButtonReadClick(script, session);
        EXPECT_EQ(script.Remaining(), 0u);
        EXPECT_EQ(script.calls.back(), "close 1");
        EXPECT_EQ(waits.Waits(), c.waits);
        EXPECT_EQ(Record(), kShortRecord);
    }
}

}  // namespace
}  // namespace orva::reading
