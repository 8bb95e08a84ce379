// The CT-API over PC/SC against a scripted reader: which reader CT_init takes, the terminal
// commands, what reaches the card and what comes back, the memory-card mapping onto the
// storage-card commands, and one defined CT-API result for every PC/SC error.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <functional>
#include <map>

#include "card_image.h"
#include "pcsc_terminal.h"
#include "scripted_reader.h"
#include "support/test_support.h"

namespace orva::pcsc {
namespace {

struct Exchange {
    std::int8_t result = 0;
    std::string answer;  // hex
    std::uint16_t lenr = 0;
};

class PcscTerminalTest : public ::testing::Test {
  protected:
    PcscTerminals terminals{reader, [this](const char* name) -> std::optional<std::string> {
                                const auto it = env.find(name);
                                return it == env.end() ? std::nullopt
                                                       : std::optional<std::string>(it->second);
                            }};

    Exchange Send(std::uint8_t dad, const std::string& command, std::uint16_t room = 9999) {
        Bytes cmd = Hex(command);
        std::uint8_t sad = 2;
        Exchange e;
        Bytes response(room + 16u, 0xEE);
        e.lenr = room;
        e.result = terminals.Data(1, &dad, &sad, static_cast<std::uint16_t>(cmd.size()), cmd.data(),
                                  &e.lenr, response.data());
        e.answer = ToHex(Bytes(response.begin(), response.begin() + e.lenr));
        // Nothing is written behind the room the caller announced.
        EXPECT_EQ(response[room], 0xEE);
        return e;
    }
    Exchange Terminal(const std::string& command) { return Send(1, command); }
    Exchange Card(const std::string& command, std::uint16_t room = 9999) {
        return Send(0, command, room);
    }
    void OpenWithCard() {
        ASSERT_EQ(terminals.Init(1, 1), 0);
        ASSERT_EQ(Terminal("20 12 01 00 01 01").answer, reader.memory ? "90 00" : "90 01");
        reader.sent.clear();
    }

    ScriptedReader reader;
    std::map<std::string, std::string> env;
};

TEST_F(PcscTerminalTest, InitTakesTheReaderThatPnOrTheNameChooses) {
    struct Case {
        const char* name;
        std::uint16_t pn;
        const char* wanted;  // ORVA_PCSC_READER
        ScardResult establish;
        ScardResult list;
        std::int8_t result;
        const char* traced;
    };
    const Case cases[] = {
        {"pn 1 is the first reader", 1, nullptr, 0, 0, 0, "reader: Alpha Reader 00 00"},
        {"pn 2 the second", 2, nullptr, 0, 0, 0, "reader: Beta Reader 01 00"},
        {"pn past the list", 3, nullptr, 0, 0, -8, "no reader number 3 among 2"},
        {"pn 0 names no reader", 0, nullptr, 0, 0, -8, "no reader number 0 among 2"},
        {"a part of the name wins over pn", 1, "Beta", 0, 0, 0, "reader: Beta Reader 01 00"},
        {"a name no reader has", 1, "Gamma", 0, 0, -8, "no reader named like \"Gamma\" among 2"},
        {"no readers at all", 1, nullptr, 0, kScardENoReadersAvailable, -8,
         "no reader number 1 among 0"},
        {"no PC/SC service", 1, nullptr, kScardENoService, 0, -128,
         "PC/SC SCardEstablishContext: 0x8010001D"},
        {"listing fails", 1, nullptr, 0, kScardEServiceStopped, -128,
         "PC/SC SCardListReaders: 0x8010001E"},
    };
    test::TempFolder folder;
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedReader scripted;
        scripted.establishResult = c.establish;
        scripted.listResult = c.list;
        const std::string trace = (folder.Path() / (std::to_string(++row) + ".log")).string();
        PcscTerminals t(scripted, [&](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "ORVA_PCSC_TRACE")
                return trace;
            if (std::string(name) == "ORVA_PCSC_READER" && c.wanted)
                return c.wanted;
            return std::nullopt;
        });
        EXPECT_EQ(t.Init(1, c.pn), c.result);
        std::ifstream in(trace);
        std::string first, second;
        std::getline(in, first);
        std::getline(in, second);
        EXPECT_EQ(first, c.traced);
        EXPECT_EQ(second,
                  "CT_init ctn=1 pn=" + std::to_string(c.pn) + " -> " + std::to_string(c.result));
        // A failed CT_init keeps no context.
        EXPECT_EQ(scripted.openContexts, c.result == 0 ? 1 : 0);
    }
}

TEST_F(PcscTerminalTest, OpenAndCloseFollowTheCtApi) {
    EXPECT_EQ(terminals.Init(1, 1), 0);
    EXPECT_EQ(terminals.Init(1, 1), -1) << "a second CT_init on an open ctn";
    EXPECT_EQ(reader.openContexts, 1);
    EXPECT_EQ(Terminal("20 12 01 00 01 01").answer, "90 01");
    EXPECT_EQ(terminals.Close(1), 0);
    EXPECT_EQ(reader.disconnects, std::vector<std::uint32_t>{kResetCard});
    EXPECT_EQ(reader.openContexts, 0);
    EXPECT_EQ(terminals.Close(1), -1);
    EXPECT_EQ(Terminal("20 11 00 00 00").result, -1) << "CT_data on a closed ctn";
    EXPECT_EQ(terminals.Init(1, 1), 0) << "and it opens again";
}

TEST_F(PcscTerminalTest, RequestIccWaitsForACardAndTellsTheKindByItsAtr) {
    struct Case {
        const char* name;
        const char* command;
        bool cardIn;
        std::deque<bool> changes;
        Bytes atr;
        ScardResult connect;
        const char* answer;
        std::vector<std::uint32_t> waits;
    };
    const std::string atrHex = ToHex(kProcessorAtr);
    const Case cases[] = {
        {"processor card", "20 12 01 00 01 01", true, {}, kProcessorAtr, 0, "90 01", {0}},
        {"memory card", "20 12 01 00 01 01", true, {}, kKvkAtr, 0, "90 00", {0}},
        {"storage card as a PC/SC reader shows it",
         "20 12 01 00 01 05",
         true,
         {},
         Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A"),
         0,
         "90 00",
         {0}},
        {"no card within the time",
         "20 12 01 00 01 01",
         false,
         {},
         kProcessorAtr,
         0,
         "62 00",
         {0, 1000}},
        {"no time byte: one look", "20 12 01 00 00", false, {}, kProcessorAtr, 0, "62 00", {0, 0}},
        {"a card comes while waiting",
         "20 12 01 00 01 03",
         false,
         {true},
         kProcessorAtr,
         0,
         "90 01",
         {0, 3000}},
        {"a card that does not answer its reset",
         "20 12 01 00 01 01",
         true,
         {},
         kProcessorAtr,
         kScardWUnresponsiveCard,
         "64 00",
         {0}},
        {"the ATR asked for", "20 12 01 01 01 01", true, {}, kProcessorAtr, 0, nullptr, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedReader scripted;
        scripted.cardIn = c.cardIn;
        scripted.changes = c.changes;
        scripted.atr = c.atr;
        scripted.connectResult = c.connect;
        scripted.memory = Bytes(256, 0);
        PcscTerminals t(scripted, [](const char*) { return std::optional<std::string>(); });
        ASSERT_EQ(t.Init(1, 1), 0);
        Bytes cmd = Hex(c.command);
        Bytes response(300);
        std::uint8_t dad = 1, sad = 2;
        std::uint16_t lenr = 300;
        EXPECT_EQ(t.Data(1, &dad, &sad, static_cast<std::uint16_t>(cmd.size()), cmd.data(), &lenr,
                         response.data()),
                  0);
        EXPECT_EQ(ToHex(Bytes(response.begin(), response.begin() + lenr)),
                  c.answer ? std::string(c.answer) : atrHex + " 90 01");
        EXPECT_EQ(sad, 1) << "the terminal answered";
        EXPECT_EQ(dad, 2) << "to the host";
        // The first look asks for the state as it is; a wait gets what is left of T seconds.
        ASSERT_EQ(scripted.waits.size(), c.waits.size());
        for (std::size_t i = 0; i < c.waits.size(); ++i) {
            EXPECT_LE(scripted.waits[i], c.waits[i]);
            EXPECT_GT(scripted.waits[i] + 1000, c.waits[i]);
        }
    }
}

TEST_F(PcscTerminalTest, RequestIccWithACardConnectedAlreadyAnswers6201) {
    OpenWithCard();
    EXPECT_EQ(Terminal("20 12 01 00 01 01").answer, "62 01");
    // A card that was pulled out and put back in is connected afresh.
    reader.cardIn = false;
    reader.changes = {true};
    EXPECT_EQ(Terminal("20 12 01 00 01 01").answer, "90 01");
}

TEST_F(PcscTerminalTest, EjectUnpowersTheCardAndWaitsUntilItIsTakenOut) {
    OpenWithCard();
    EXPECT_EQ(Terminal("20 15 01 00 01 01").answer, "62 00") << "the card stays in";
    EXPECT_EQ(reader.disconnects, std::vector<std::uint32_t>{kUnpowerCard});
    reader.changes = {false};
    EXPECT_EQ(Terminal("20 15 01 00 01 01").answer, "90 00") << "taken out while waiting";
    EXPECT_EQ(Terminal("20 15 01 00 01 01").answer, "90 00") << "no card at all";
    EXPECT_EQ(reader.disconnects.size(), 1u);
    EXPECT_EQ(Card("00 B0 81 00 00").result, -10) << "no card to talk to";
}

TEST_F(PcscTerminalTest, ResetCtDropsTheCardAndOtherTerminalCommandsAreRefused) {
    OpenWithCard();
    struct Case {
        const char* command;
        std::int8_t result;
        const char* answer;
    };
    const Case cases[] = {
        {"20 11 00 00 00", 0, "90 00"},
        {"20 11 01 00 00", 0, "90 01"},
        {"20 13 00 80 00", 0, "6D 00"},
        {"20 16 00 00", 0, "6D 00"},
        {"00 12 01 00 01 01", 0, "6E 00"},
        {"20 12 02 00 01 01", 0, "6A 00"},
        {"20 11 00", -1, ""},
        {"20", -1, ""},
        {"", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Exchange e = Terminal(c.command);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.answer, c.answer);
    }
    // RESET CT dropped the card; RESET ICC connected it again.
    EXPECT_EQ(reader.disconnects, std::vector<std::uint32_t>{kResetCard});
    EXPECT_TRUE(reader.connected);
    EXPECT_TRUE(reader.sent.empty()) << "terminal commands never reach the card";
}

TEST_F(PcscTerminalTest, CardCommandsGoToTheCardAsTheyAre) {
    OpenWithCard();
    reader.answers = {{"00 A4 04 0C 06 D2 76 00 00 01 02", "90 00"},
                      {"00 B0 8C 00 00", "30 31 32 90 00"}};
    EXPECT_EQ(Card("00 A4 04 0C 06 D2 76 00 00 01 02").answer, "90 00");
    const Exchange e = Card("00 B0 8C 00 00");
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.answer, "30 31 32 90 00");
    EXPECT_EQ(e.lenr, 5);
    // Shorter than four bytes: refused and never sent.
    for (const char* shortCommand : {"00", "00 B0", "00 B0 81"}) {
        EXPECT_EQ(Card(shortCommand).result, -1) << shortCommand;
    }
    EXPECT_EQ(reader.sent,
              (std::vector<std::string>{"00 A4 04 0C 06 D2 76 00 00 01 02", "00 B0 8C 00 00"}));
}

TEST_F(PcscTerminalTest, UnderT0TheAnswerIsFetchedTheProtocolsWay) {
    reader.protocol = kProtocolT0;
    OpenWithCard();
    reader.answers = {{"00 B0 8C 00 00", "6C 05"},
                      {"00 B0 8C 00 05", "61 03"},
                      {"00 C0 00 00 03", "01 02 03 61 02"},
                      {"00 C0 00 00 02", "04 05 90 00"}};
    EXPECT_EQ(Card("00 B0 8C 00 00").answer, "01 02 03 04 05 90 00");
    EXPECT_EQ(reader.sent, (std::vector<std::string>{"00 B0 8C 00 00", "00 B0 8C 00 05",
                                                     "00 C0 00 00 03", "00 C0 00 00 02"}));
    // An extended length cannot travel under T=0: 67 00 without asking the card.
    reader.sent.clear();
    EXPECT_EQ(Card("00 B0 81 00 00 00 00").answer, "67 00");
    EXPECT_TRUE(reader.sent.empty());
}

TEST_F(PcscTerminalTest, ExtendedLengthThatTheReaderRefusesIsAnswered6700) {
    OpenWithCard();
    reader.card = [](const Bytes& cmd, Bytes& response) {
        if (cmd.size() == 7) {
            return kScardEInvalidParameter;  // what pcsc-lite says to an APDU it cannot carry
        }
        response = Hex("90 00");
        return kScardSuccess;
    };
    const Exchange e = Card("00 B0 81 00 00 00 00");
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.answer, "67 00");
    EXPECT_EQ(Card("00 B0 81 00 00").answer, "90 00") << "the short read still works";
    // The same error from a card that goes out during the exchange is no refusal.
    reader.changes = {false};
    EXPECT_EQ(Card("00 B0 82 00 00 00 00").result, -10);
    EXPECT_EQ(Card("00 B0 82 00 00").result, -10) << "and the card is gone";
}

TEST_F(PcscTerminalTest, AnAnswerWithoutStatusWordIsATransmissionError) {
    OpenWithCard();
    for (const char* answer : {"", "90"}) {
        reader.card = [&](const Bytes&, Bytes& response) {
            response = Hex(answer);
            return kScardSuccess;
        };
        const Exchange e = Card("00 B0 81 00 00 00 00");
        EXPECT_EQ(e.result, -10) << answer;
        EXPECT_EQ(e.lenr, 0);
    }
}

TEST_F(PcscTerminalTest, AnswersNeverExceedTheCallersRoom) {
    OpenWithCard();
    reader.card = [](const Bytes& cmd, Bytes& response) {
        const std::size_t le = cmd.size() == 7 ? static_cast<std::size_t>(cmd[5] << 8 | cmd[6])
                                               : (cmd[4] == 0 ? 256u : cmd[4]);
        response.assign(cmd[1] == 0xB2 ? 40 : std::min<std::size_t>(le == 0 ? 65536 : le, 700),
                        0x5A);
        response.push_back(0x90);
        response.push_back(0x00);
        return kScardSuccess;
    };
    // A Le larger than the room is lowered to fit: the answer is whole.
    Exchange e = Card("00 B0 81 00 00 00 00", 102);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.lenr, 102);
    EXPECT_EQ(reader.sent.back(), "00 B0 81 00 00 00 64");
    e = Card("00 B0 81 00 00", 52);
    EXPECT_EQ(e.lenr, 52);
    EXPECT_EQ(reader.sent.back(), "00 B0 81 00 32");
    // A card that sends more than asked for is cut to the room, and the call says so.
    e = Card("00 B2 01 84 05", 10);
    EXPECT_EQ(e.result, -11);
    EXPECT_EQ(e.lenr, 10);
}

TEST_F(PcscTerminalTest, EveryPcscErrorIsOneCtApiResult) {
    struct Case {
        ScardResult error;
        std::int8_t result;
    };
    const Case cases[] = {
        {kScardWRemovedCard, -10},
        {kScardENoSmartcard, -10},
        {kScardWUnresponsiveCard, -10},
        {kScardENotTransacted, -10},
        {kScardETimeout, -10},
        {kScardEInvalidHandle, -1},
        {kScardEInvalidParameter, -1},
        {kScardENoMemory, -11},
        {kScardEInsufficientBuffer, -11},
        {kScardENoService, -128},
        {kScardEServiceStopped, -128},
        {kScardFCommError, -128},
        {kScardEReaderUnavailable, -8},
        {kScardEUnknownReader, -8},
        {kScardESharingViolation, -8},
        {0x80100099, -8},
    };
    test::TempFolder folder;
    env["ORVA_PCSC_TRACE"] = (folder.Path() / "trace.log").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.error);
        EXPECT_EQ(CtResultOf(c.error), c.result);
        reader.connected = true;
        reader.cardIn = true;
        ASSERT_EQ(terminals.Init(1, 1), 0);
        ASSERT_EQ(Terminal("20 12 01 00 01 01").answer, "90 01");
        reader.card = [&](const Bytes&, Bytes&) { return c.error; };
        const Exchange e = Card("00 B0 8C 00 00");
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.lenr, 0) << "lenr is set on a failed call";
        reader.card = nullptr;
        EXPECT_EQ(terminals.Close(1), 0);
    }
    // The trace names the PC/SC function and its code before the call's line.
    std::ifstream in(env["ORVA_PCSC_TRACE"]);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "reader: Alpha Reader 00 00");
    EXPECT_EQ(lines[1], "CT_init ctn=1 pn=1 -> 0");
    EXPECT_EQ(lines[2], "CT_data ctn=1 dad=1 sad=2 cmd=20 12 01 00 01 01 -> 90 01 rc=0");
    EXPECT_EQ(lines[3], "PC/SC SCardTransmit: 0x80100069");
    EXPECT_EQ(lines[4], "CT_data ctn=1 dad=0 sad=2 cmd=00 B0 8C 00 00 -> rc=-10");
    EXPECT_EQ(lines[5], "CT_close ctn=1 -> 0");
}

TEST_F(PcscTerminalTest, ACardPulledOutMidReadEndsTheConnection) {
    OpenWithCard();
    reader.card = [](const Bytes&, Bytes&) { return kScardWRemovedCard; };
    EXPECT_EQ(Card("00 B0 81 00 00 00 00").result, -10);
    EXPECT_EQ(Card("00 B0 82 00 00 00 00").result, -10);
    EXPECT_EQ(reader.sent.size(), 1u) << "nothing more is sent to a card that is gone";
    reader.cardIn = false;
    EXPECT_EQ(Terminal("20 15 01 00 01 01").answer, "90 00");
}

// The memory card of the KVK fixture, read through the storage-card commands, gives what the
// simulated terminal gives for the same image.
class MemoryCardTest : public PcscTerminalTest {
  protected:
    void Load(const char* fixture) {
        std::string error;
        const std::optional<sim::CardSet> set = sim::LoadCardImage(
            std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards" / fixture, error);
        ASSERT_TRUE(set) << error;
        card = set->cards.at(0);
        Bytes memory = card.data;
        memory.resize(256, 0xFF);
        reader.memory = memory;
        reader.atr = kKvkAtr;
        app = Bytes(sim::KvkApplication(card).begin(), sim::KvkApplication(card).end());
        ASSERT_GT(app.size(), 100u);
        OpenWithCard();
    }
    std::string Expected(std::size_t from, std::size_t count, const char* sw) const {
        Bytes bytes(app.begin() + static_cast<std::ptrdiff_t>(from),
                    app.begin() + static_cast<std::ptrdiff_t>(std::min(app.size(), from + count)));
        const Bytes tail = Hex(sw);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return ToHex(bytes);
    }

    sim::CardImage card;
    Bytes app;
};

TEST_F(MemoryCardTest, TheProgramsKvkReadsMapOntoTheApplication) {
    for (const char* fixture : {"kvk.ini", "kvk_long.ini"}) {
        SCOPED_TRACE(fixture);
        reader = ScriptedReader{};
        ASSERT_EQ(terminals.Close(1), -1);
        Load(fixture);
        if (HasFatalFailure())
            return;
        EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 01").answer, "90 00");
        // The first read from the application's start: the template, ended by 62 82.
        const Exchange first = Card("00 B0 00 00 00");
        EXPECT_EQ(first.answer, Expected(0, 256, "62 82"));
        // The program's second read, from (lenr - 3) mod 256.
        const std::size_t offset = (first.lenr - 3u) % 256u;
        const std::string second = "00 B0 00 " + ToHex({static_cast<std::uint8_t>(offset)}) + " 00";
        EXPECT_EQ(Card(second).answer,
                  offset < app.size() ? Expected(offset, 256, "62 82") : std::string("6B 00"));
        EXPECT_EQ(Card("00 B0 00 10 08").answer, Expected(0x10, 8, "90 00"));
        EXPECT_EQ(Card("00 B0 01 00 00").answer, "6B 00") << "past the application";
        EXPECT_EQ(Card("00 0E 00 00").answer, "69 82");
        for (const std::string& sent : reader.sent) {
            EXPECT_EQ(sent.substr(0, 5), "FF B0") << "only reads reach a memory card: " << sent;
        }
        EXPECT_EQ(terminals.Close(1), 0);
    }
}

TEST_F(MemoryCardTest, SelectLooksForTheIdentifierInTheCardsDirectory) {
    Load("kvk.ini");
    EXPECT_EQ(Card("00 B0 00 00 00").answer, "69 86") << "nothing selected yet";
    EXPECT_EQ(Card("00 A4 04 00 06 D2 80 00 00 01 01").answer, "6A 82");
    EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 02").answer, "6A 82");
    EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 01").answer, "90 00");
    EXPECT_EQ(Card("00 A4 04 00 05 D2 76 00 00 01").answer, "6A 82") << "a part of it";
    EXPECT_EQ(Card("00 B0 00 00 00").answer, "69 86") << "a failed SELECT deselects";
    // Another directory: the template starts where the directory ends.
    Bytes memory = *reader.memory;
    memory[3] = 0x91;
    memory[0x11 + 1] = 0x0D;  // two bytes longer: the application moves to 0x20
    reader.memory = memory;
    EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 01").answer, "90 00");
    EXPECT_EQ(reader.sent.back(), "FF B0 00 20 04");
}

TEST_F(MemoryCardTest, AReaderWithoutStorageCardCommandsStillTellsTheCard) {
    reader.card = [](const Bytes&, Bytes& response) {
        response = Hex("6E 00");
        return kScardSuccess;
    };
    reader.memory = Bytes(256, 0);
    reader.atr = kKvkAtr;
    OpenWithCard();  // REQUEST ICC answers 90 00
    EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 01").answer, "6A 81");
    EXPECT_EQ(Card("00 B0 00 00 00").answer, "6A 81");
    EXPECT_EQ(Card("00 0E 00 00").answer, "69 82");
    EXPECT_TRUE(reader.sent.empty());
}

TEST_F(MemoryCardTest, ACardPulledOutWhileReadingIsNoAnswer) {
    Load("kvk.ini");
    EXPECT_EQ(Card("00 A4 04 00 06 D2 76 00 00 01 01").answer, "90 00");
    reader.card = [](const Bytes&, Bytes&) { return kScardWRemovedCard; };
    EXPECT_EQ(Card("00 B0 00 00 00").result, -10);
    EXPECT_EQ(Card("00 B0 00 00 00").result, -10);
}

TEST(PcscAtr, MemoryCardsAreToldByTheirAtr) {
    struct Case {
        const char* atr;
        bool memory;
    };
    const Case cases[] = {
        {"3B 04 A2 13 10 91", true},
        {"3B 04 92 23 10 91", false},
        {"3B 04 82 13 10 91", true},
        {"3B 88 80 01 00 00 00 00 00 00 00 00 09", false},
        {"3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A", true},
        {"3B 84 80 01 A2 13 10 91 00", false},
        {"3B", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsMemoryCardAtr(Hex(c.atr)), c.memory) << c.atr;
    }
}

}  // namespace
}  // namespace orva::pcsc
