// End-to-end tests of the Linux console program: the real orva with the simulated CT-API
// terminal, its record on standard output (or in the -F file), its prompts on standard error,
// Enter in -D mode, Ctrl-C as the abort button. Every wait is bounded; every process started
// here is ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "posix_e2e_support.h"
#include "support/test_support.h"

namespace orva::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kErrorRecord = std::string("\x04OKVK 01-\x04", 10);

// The [card] sections of a card image from the shared fixtures, with the files they name
// (@file) taken from the fixtures' folder.
std::string Cards(const char* fixture) {
    const fs::path folder = CardsDir();
    std::string text = ReadText(folder / fixture);
    text = text.substr(text.find("[card]"));
    for (std::size_t at = text.find("= @"); at != std::string::npos;
         at = text.find("= @", at + 3)) {
        text.insert(at + 3, folder.string() + "/");
    }
    return text;
}

// One orva (or simulator) process with pipes on its standard streams, ended when the object goes.
class Orva {
  public:
    Orva(const std::vector<std::string>& args, const std::vector<std::string>& env,
         const char* name = "orva") {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            posix_spawn_file_actions_addclose(&actions, fd);
        }
        started_ =
            Spawn((BinDir() / name).string(), args, env, {"TMP=", "ORVA_SIM_"}, actions, pid_);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        fcntl(stdout_, F_SETFL, O_NONBLOCK);
        fcntl(stderr_, F_SETFL, O_NONBLOCK);
    }
    ~Orva() {
        if (started_ && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_}) {
            if (fd >= 0)
                close(fd);
        }
    }
    Orva(const Orva&) = delete;
    Orva& operator=(const Orva&) = delete;

    bool Started() const { return started_; }
    void Type(const std::string& text) { (void)!write(stdin_, text.data(), text.size()); }
    void EndInput() {
        close(stdin_);
        stdin_ = -1;
    }
    void Interrupt() { kill(pid_, SIGINT); }

    // Collects output until the process has ended; false when it has not within the time.
    bool Ended(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!exited_) {
            Drain();
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        Drain();
        return true;
    }
    // Waits until standard error holds the text (or the time is up).
    bool Says(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (err_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || exited_) {
                return false;
            }
            Drain();
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }
    int ExitCode() const { return exitCode_; }

  private:
    void Drain() {
        char buffer[4096];
        for (auto [fd, text] : {std::pair{stdout_, &out_}, std::pair{stderr_, &err_}}) {
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) {
                text->append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    pid_t pid_ = -1;
    bool started_ = false, exited_ = false;
    int exitCode_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string out_, err_;
};

// Splits standard output into records (each begins with 04 "OKVK 01" and ends with 04).
std::vector<std::string> Records(const std::string& out) {
    std::vector<std::string> records;
    std::size_t pos = 0;
    while (pos < out.size()) {
        const std::size_t next = out.find("\x04OKVK 01", pos + 1);
        records.push_back(
            out.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        pos = next == std::string::npos ? out.size() : next;
    }
    return records;
}

// Record bytes as hex text, so that a difference shows where it lies.
std::string AsHex(const std::string& bytes) {
    return test::ToHex(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

// A memory card whose memory is erased: 256 bytes FF, the application from offset 30 on.
std::string BlankCard() {
    std::string card = "[card]\nkind = kvk\ndata =";
    for (int i = 0; i < 256; ++i) card += " FF";
    return card + "\n";
}

// What the KVK rules make of it: the terminal returns the 226 FF bytes behind offset 30 and
// 62 82; without tags the record keeps 218 bytes, then byte 218 as hex digits. On the way to
// the client (standard output) FF becomes 1F.
std::string BlankCardRecord() {
    return "\x04OKVK 01" + std::string(218, '\x1F') + "FF\x04";
}

// A card of 200 untagged text bytes: too short for the KVK rules without tags (218).
std::string ShortUntaggedCard() {
    std::string card = "[card]\nkind = kvk\napp_offset = 0\ndata =";
    const std::string text = "UNTAGGED KVK ";
    for (int i = 0; i < 200; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned char>(text[i % text.size()]));
        card += hex;
    }
    return card + "\n";
}

// The record of tests/data/cards/kvk_mobile.ini over the CT-API: from the 80 tag (the terminal's
// 60 7B is not kept) through the terminal's objects up to the 93 tag's length byte, then the
// check value's first byte 5A as hex digits.
const std::string kMobileRecordTail =
    "80 EC 42 4B 4B 20 54 65 73 74 77 65 72 6B 81 E7 31 30 39 39 39 39 39 8F E5 33 38 38 32 35 "
    "82 EA 34 37 31 31 30 38 31 35 31 32 83 E4 31 30 30 30 90 E1 31 85 E4 49 6C 73 65 87 E8 42 "
    "72 7D 63 6B 6E 65 72 88 E8 31 34 30 38 31 39 36 32 89 F1 41 6D 20 57 65 69 7E 65 6E 20 53 "
    "74 65 69 6E 20 34 8B E5 33 37 30 37 33 8C E9 47 7C 74 74 69 6E 67 65 6E 8D E4 31 32 32 38 "
    "8E E1 45 91 E3 25 F1 E3 92 E4 4D 54 30 31 93 E2 35 41 04";

class ConsoleE2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image = tmp.Path() / "cards.ini";
        trace = tmp.Path() / "trace.txt";
    }
    void WriteImage(const std::string& text) { std::ofstream(image, std::ios::binary) << text; }
    std::vector<std::string> Env() const {
        return {"TMP=" + tmp.Path().string(), "ORVA_SIM_CARDS=" + image.string(),
                "ORVA_SIM_TRACE=" + trace.string()};
    }
    int Count(const std::string& traceText) const {
        const std::string text = ReadText(trace);
        int n = 0;
        for (std::size_t p = text.find(traceText); p != std::string::npos;
             p = text.find(traceText, p + 1)) {
            ++n;
        }
        return n;
    }

    test::TempFolder tmp{"orva-console"};
    fs::path image, trace;
};

TEST_F(ConsoleE2eTest, OneKvkReadEndsByItselfWithTheRecordOnStandardOutput) {
    WriteImage("[terminal]\ninit = 0\n" + Cards("kvk.ini"));
    Orva orva({"USB", "-LSIM"}, Env());
    ASSERT_TRUE(orva.Ended(30s)) << orva.Err();
    EXPECT_EQ(orva.ExitCode(), 0);
    const std::vector<std::string> records = Records(orva.Out());
    ASSERT_EQ(records.size(), 1u) << orva.Out();
    EXPECT_EQ(records[0].substr(0, 8), "\x04OKVK 01");
    EXPECT_EQ(records[0].back(), '\x04');
    EXPECT_NE(records[0].find("Br}ckner"), std::string::npos);
    EXPECT_NE(orva.Err().find("Versichertenkarte einstecken"), std::string::npos);
    EXPECT_EQ(Count("CT_init"), 1);
    EXPECT_EQ(orva.Err().find("Hexlist: "), std::string::npos);  // only with -D
}

TEST_F(ConsoleE2eTest, WithFTheRecordGoesToTheFileOnly) {
    WriteImage(Cards("kvk.ini"));
    for (const char* option : {"-F", "-U"}) {
        SCOPED_TRACE(option);
        const fs::path out = tmp.Path() / "OUT.TXT";
        fs::remove(out);
        std::vector<std::string> args{"USB", "-LSIM", "-F" + out.string()};
        if (std::string(option) == "-U") {
            args.push_back("-U");
        }
        Orva orva(args, Env());
        ASSERT_TRUE(orva.Ended(30s)) << orva.Err();
        EXPECT_TRUE(orva.Out().empty());
        const std::string record = ReadText(out);
        EXPECT_EQ(record.substr(0, 8), "\x04OKVK 01");
        EXPECT_NE(record.find("Br}ckner"), std::string::npos);
    }
}

TEST_F(ConsoleE2eTest, EndlessReadsEveryCardInOrderUntilCtrlC) {
    WriteImage(Cards("kvk.ini") + "\n" + Cards("kvk_long.ini") + "\n" + Cards("kvk.ini"));
    Orva orva({"USB", "-LSIM", "-E"}, Env());
    ASSERT_TRUE(orva.Started());
    // After the third card the terminal waits for a fourth.
    const auto deadline = Clock::now() + 60s;
    while (Records(orva.Out()).size() < 3 && Clock::now() < deadline) {
        orva.Ended(100ms);
    }
    ASSERT_EQ(Records(orva.Out()).size(), 3u) << orva.Err();
    orva.Interrupt();
    ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
    const std::vector<std::string> records = Records(orva.Out());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_NE(records[0].find("Br}ckner"), std::string::npos);
    EXPECT_NE(records[1].find("Hans-Joachim"), std::string::npos);
    EXPECT_NE(records[2].find("Br}ckner"), std::string::npos);
    EXPECT_EQ(records[3], kErrorRecord);
    EXPECT_EQ(Count("CT_close"), 4);  // three runs, and the fourth closed by the abort
}

TEST_F(ConsoleE2eTest, DebugModeReadsOnEnterAndEndsWithTheInput) {
    WriteImage(Cards("kvk.ini"));
    Orva orva({"USB", "-LSIM", "-D"}, Env());
    ASSERT_TRUE(orva.Says("Hexlist: Port=USB"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Count("CT_init"), 0);  // nothing starts by itself
    orva.Type("\n");
    const auto deadline = Clock::now() + 30s;
    while (Records(orva.Out()).empty() && Clock::now() < deadline) {
        orva.Ended(100ms);
    }
    EXPECT_EQ(Records(orva.Out()).size(), 1u);
    EXPECT_TRUE(orva.Says("Hexlist: 1: CT_data="));
    EXPECT_TRUE(orva.Says("Memo: "));
    EXPECT_EQ(Count("cmd=00 0E"), 0);  // delRecord not ticked: no erase
    orva.EndInput();
    ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
    EXPECT_EQ(orva.ExitCode(), 0);
    EXPECT_EQ(Records(orva.Out()).size(), 1u);
}

// On the reader thread, and in the start-up run of -U on the main thread.
TEST_F(ConsoleE2eTest, CtrlCWhileWaitingForACardDeliversTheErrorRecord) {
    WriteImage("[terminal]\ninit = 0\n");  // a terminal without a card
    for (const std::vector<std::string>& args : {std::vector<std::string>{"USB", "-LSIM"},
                                                 std::vector<std::string>{"USB", "-LSIM", "-U"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        Orva orva(args, Env());
        ASSERT_TRUE(orva.Says("Versichertenkarte einstecken"));
        orva.Interrupt();
        ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
        EXPECT_EQ(orva.Out(), kErrorRecord);
    }
}

TEST_F(ConsoleE2eTest, StartupFailuresAreOneLineEach) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {{},
         "vIvavod EVI Version 1.27: ORVA <COMx> | <USB> | <LAN[x]> [-E | -U | --] [-F[file]] "
         "[-Lxx] [-D] -E Endlos -U Unsichtbar -F Datei schreiben -Lxx API-DLL verwenden -S "
         "Daten nicht an Client senden -D Debug -- laufendes ORVA.EXE beenden\n"},
        {{"USB", "-LXY"}, "Fehler: ct_api_*XY.dll fehlen\n"},
        {{"/dev/nonexistent-COM9"},
         "Fehler: Fehler beim \xC3\x96"
         "ffnen von /DEV/NONEXISTENT-COM9.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Orva orva(c.args, Env());
        ASSERT_TRUE(orva.Ended(15s));
        EXPECT_EQ(orva.Err(), c.line);
    }
}

// A record carries only the card just read: never the files, the bytes or the form of an
// earlier card, in one process or across processes.
std::vector<std::string> ReadRecords(Orva& orva, std::size_t count) {
    const auto deadline = Clock::now() + 60s;
    while (Records(orva.Out()).size() < count && Clock::now() < deadline && !orva.Ended(100ms)) {
    }
    return Records(orva.Out());
}

TEST_F(ConsoleE2eTest, BlankCardAfterAnEgkInEndlessModeTakesTheKvkRules) {
    WriteImage(Cards("egk.ini") + "\n" + BlankCard());
    Orva orva({"USB", "-LSIM", "-E"}, Env());
    ASSERT_EQ(ReadRecords(orva, 2).size(), 2u) << orva.Err();
    orva.Interrupt();
    ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
    const std::vector<std::string> records = Records(orva.Out());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_NE(records[0].find("PD>"), std::string::npos);
    EXPECT_EQ(AsHex(records[1]), AsHex(BlankCardRecord()));
    EXPECT_EQ(records[2], kErrorRecord);
}

TEST_F(ConsoleE2eTest, StaleEgkFilesNeverReachTheRecordOfALaterMemoryCard) {
    WriteImage(Cards("egk.ini"));
    {
        Orva egk({"USB", "-LSIM"}, Env());
        ASSERT_TRUE(egk.Ended(60s)) << egk.Err();
        ASSERT_NE(egk.Out().find("VD>"), std::string::npos) << egk.Err();
    }
    ASSERT_TRUE(fs::exists(tmp.Path() / "PD.GZ"));
    ASSERT_TRUE(fs::exists(tmp.Path() / "VD.GZ"));

    WriteImage(BlankCard());
    Orva orva({"USB", "-LSIM"}, Env());
    ASSERT_TRUE(orva.Ended(60s)) << orva.Err();
    EXPECT_EQ(AsHex(orva.Out()), AsHex(BlankCardRecord()));
    // The intermediate files stay where they are for integrators.
    EXPECT_TRUE(fs::exists(tmp.Path() / "PD.GZ"));
}

TEST_F(ConsoleE2eTest, ShortUntaggedCardAfterAnEgkIsIncompleteWithoutAnyEgkByte) {
    WriteImage(Cards("egk.ini") + "\n" + ShortUntaggedCard());
    Orva orva({"USB", "-LSIM", "-D"}, Env());
    ASSERT_TRUE(orva.Says("Hexlist: Port=USB"));
    orva.Type("\n");
    ASSERT_EQ(ReadRecords(orva, 1).size(), 1u) << orva.Err();
    orva.Type("\n");
    const std::vector<std::string> records = ReadRecords(orva, 2);
    ASSERT_EQ(records.size(), 2u) << orva.Err();
    // 200 text bytes and the status word 62 82: too short without tags, so the box and the
    // ErrorRecord, not a record padded with what the eGK left in the buffer.
    EXPECT_TRUE(orva.Says("Fehler: Daten unvollst\xC3\xA4ndig! (202): 55 4e\n")) << orva.Err();
    EXPECT_EQ(records[1], kErrorRecord);
    orva.EndInput();
    ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
}

// The serial transport end to end: orva drives the simulated serial terminal on a pty.
class SerialConsoleE2eTest : public ConsoleE2eTest {
  protected:
    void StartTerminal(const std::string& cards, const std::vector<std::string>& extra = {}) {
        WriteImage(cards);
        link = tmp.Path() / "ttyKVK";
        std::vector<std::string> args{"--cards", image.string(), "--link", link.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        terminal = std::make_unique<Orva>(args, std::vector<std::string>{}, "orva-serial-sim");
        ASSERT_TRUE(terminal->Started());
        const auto deadline = Clock::now() + 10s;
        while (!fs::exists(link) && Clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(fs::exists(link));
    }
    std::vector<std::string> SerialEnv() const {
        return {"TMP=" + tmp.Path().string(), "ORVA_COM3=" + link.string()};
    }
    void TearDown() override {
        if (terminal) {
            terminal->Interrupt();
            terminal->Ended(5s);
        }
    }

    fs::path link;
    std::unique_ptr<Orva> terminal;
};

TEST_F(SerialConsoleE2eTest, EndlessReadsKvkCardsOverTheLineUntilCtrlC) {
    StartTerminal(Cards("kvk.ini") + "\n" + Cards("kvk_long.ini") + "\n" + Cards("kvk.ini"));
    Orva orva({"COM3", "-E"}, SerialEnv());
    const auto deadline = Clock::now() + 60s;
    while (Records(orva.Out()).size() < 3 && Clock::now() < deadline) {
        orva.Ended(100ms);
    }
    ASSERT_EQ(Records(orva.Out()).size(), 3u) << orva.Err();
    orva.Interrupt();
    ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
    const std::vector<std::string> records = Records(orva.Out());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_NE(records[0].find("Br}ckner"), std::string::npos);
    EXPECT_NE(records[1].find("Hans-Joachim"), std::string::npos);
    EXPECT_NE(records[2].find("Br}ckner"), std::string::npos);
    EXPECT_EQ(records[3], kErrorRecord);
}

// Ctrl-C (the abort button) in each phase the serial transport has: the program ends, and what
// reached standard output is whole records and the ErrorRecord, never part of a record.
TEST_F(SerialConsoleE2eTest, CtrlCInEveryPhaseEndsWithWholeRecordsOrTheErrorRecord) {
    struct Phase {
        const char* name;
        std::string cards;
        std::vector<std::string> extra;  // for the simulated terminal
        std::string says;                // the Status prompt of the phase
    };
    const Phase phases[] = {
        {"waiting for a card",
         Cards("kvk.ini") + "absent_polls = 1000000\n",
         {},
         "Versichertenkarte einstecken"},
        {"reading the card", Cards("kvk.ini"), {"--chunk", "1"}, "Daten lesen ..."},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        StartTerminal(phase.cards, phase.extra);
        {
            Orva orva({"COM3", "-E"}, SerialEnv());
            ASSERT_TRUE(orva.Says(phase.says)) << orva.Err();
            orva.Interrupt();
            ASSERT_TRUE(orva.Ended(15s)) << orva.Err();
            EXPECT_EQ(orva.ExitCode(), 0);
            const std::vector<std::string> records = Records(orva.Out());
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(records.back(), kErrorRecord);
            for (const std::string& record : records) {
                // A whole KVK record: the header, the name, the checksum tag, the closing 04.
                EXPECT_TRUE(record == kErrorRecord ||
                            (record.rfind("\x04OKVK 01", 0) == 0 &&
                             record.find("Br}ckner") != std::string::npos &&
                             record.find('\x8E') != std::string::npos && record.back() == '\x04'))
                    << AsHex(record);
            }
        }
        terminal->Interrupt();
        terminal->Ended(5s);
        terminal.reset();
        fs::remove(link);
    }
}

TEST_F(SerialConsoleE2eTest, OneCardWithoutEndlessThenTheProgramCloses) {
    StartTerminal(Cards("kvk.ini"));
    for (const char* option : {"-U", "-D"}) {
        SCOPED_TRACE(option);
        Orva orva({"COM3", option}, SerialEnv());
        ASSERT_TRUE(orva.Ended(60s)) << orva.Err();
        const std::vector<std::string> records = Records(orva.Out());
        ASSERT_EQ(records.size(), 1u) << orva.Err();
        EXPECT_NE(records[0].find("Br}ckner"), std::string::npos);
        // The serial cycle needs the same card again for the next option.
        terminal->Interrupt();
        terminal->Ended(5s);
        StartTerminal(Cards("kvk.ini"));
    }
}

TEST_F(SerialConsoleE2eTest, BlankCardWithStaleEgkFilesTakesTheKvkRules) {
    WriteImage(Cards("egk.ini"));
    {
        Orva egk({"USB", "-LSIM"}, Env());
        ASSERT_TRUE(egk.Ended(60s)) << egk.Err();
        ASSERT_NE(egk.Out().find("VD>"), std::string::npos) << egk.Err();
    }
    ASSERT_TRUE(fs::exists(tmp.Path() / "PD.GZ"));

    StartTerminal(BlankCard());
    Orva orva({"COM3", "-U"}, SerialEnv());
    ASSERT_TRUE(orva.Ended(60s)) << orva.Err();
    EXPECT_EQ(AsHex(orva.Out()), AsHex(BlankCardRecord()));
}

// A mobile terminal's objects 91, 92 and 93 behind the template, through both simulated
// terminals: the record ends two bytes behind the 93 tag. Over the line the whole answer comes
// in one block (a chained answer ends after the 8E object) and the template's 60 7B is kept.
TEST_F(SerialConsoleE2eTest, MobileTerminalKvkEndsTheRecordBehindThe93Tag) {
    const std::string header = "04 4F 4B 56 4B 20 30 31 ";
    WriteImage(Cards("kvk_mobile.ini"));
    {
        Orva orva({"USB", "-LSIM"}, Env());
        ASSERT_TRUE(orva.Ended(30s)) << orva.Err();
        EXPECT_EQ(AsHex(orva.Out()), header + kMobileRecordTail);
    }
    StartTerminal(Cards("kvk_mobile.ini"), {"--chunk", "254"});
    Orva orva({"COM3", "-U"}, SerialEnv());
    ASSERT_TRUE(orva.Ended(60s)) << orva.Err();
    EXPECT_EQ(AsHex(orva.Out()), header + "60 7B " + kMobileRecordTail);
}

}  // namespace
}  // namespace orva::e2e
