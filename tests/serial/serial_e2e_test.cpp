// A KVK read end to end over a pseudo-terminal: orva-serial-sim plays the terminal at 9600
// baud; the real CSerial, block protocol and delivery (-F output file, reached through the
// protocol's delivery callback as start-up connects it) read it, with a timer
// thread ticking every 3000 ms as the window's timer does. Each case reads the same invented
// card under one line fault or chunk size, and the exact record must land in the file.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/state.h"
#include "record/delivery.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "terminal/block_protocol.h"
#include "terminal/command_table.h"
#include "terminal/serial_port.h"

extern char** environ;

namespace orva::terminal {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// An invented insured person on a KVK (texts in DIN 66003: } is u-umlaut): the application
// template 60 .. with the checksum tag 8E 01 14 at offsets 116 to 118.
constexpr const char* kKvkData =
    "60 75 80 0C 41 4F 4B 20 54 65 73 74 6C 61 6E 64 81 07 31 32 33 34 35 36 37 8F 02 37 31 "
    "82 09 31 32 33 34 35 36 37 38 39 83 04 31 30 30 30 90 01 31 85 06 4A 7D 72 67 65 6E 87 "
    "08 42 65 69 73 70 69 65 6C 88 08 30 31 30 32 31 39 37 30 89 0B 48 61 75 70 74 73 74 72 "
    "2E 20 35 8B 05 31 32 33 34 35 8C 0B 4D 75 73 74 65 72 73 74 61 64 74 8D 04 31 32 32 39 "
    "8E 01 14";

// Its record: header, the data up to the checksum's length byte (bytes below 1F raised by
// E0), the checksum as two hex digits, 04.
const std::string kExpectedRecord =
    "\x04OKVK 01`u\x80\xEC"
    "AOK Testland\x81\xE7"
    "1234567\x8F\xE2"
    "71\x82\xE9"
    "123456789"
    "\x83\xE4"
    "1000\x90\xE1"
    "1\x85\xE6J}rgen\x87\xE8"
    "Beispiel\x88\xE8"
    "01021970\x89\xEB"
    "Hauptstr. 5\x8B\xE5"
    "12345\x8C\xEBMusterstadt\x8D\xE4"
    "1229\x8E\xE1"
    "14\x04";

// The long-form card of the shared fixtures (tests/data/cards/kvk_long.ini, template from
// offset 30, 60 81 CE ..) and its record.
constexpr const char* kLongCardFile = ORVA_TEST_DATA_DIR "/cards/kvk_long.ini";
constexpr const char* kLongCardRecord =
    "04 4F 4B 56 4B 20 30 31 60 81 CE 80 FC 42 65 74 72 69 65 62 73 6B 72 61 6E 6B 65 6E 6B 61 "
    "73 73 65 20 42 65 69 73 70 69 65 81 E7 31 30 38 38 38 38 38 8F E5 37 32 31 30 31 82 EC 39 "
    "30 30 31 31 32 32 33 33 34 34 35 83 E4 33 30 30 30 90 E1 4D 84 E9 50 72 6F 66 2E 20 44 72 "
    "2E 85 F6 48 61 6E 73 2D 4A 6F 61 63 68 69 6D 20 46 72 69 65 64 72 69 63 68 86 E7 76 6F 6E "
    "20 64 65 72 87 F3 53 63 68 7C 6E 62 65 72 67 2D 4D 7D 68 6C 65 6E 74 61 6C 88 E8 30 32 30 "
    "33 31 39 34 31 89 F6 4F 62 65 72 65 20 47 61 72 74 65 6E 73 74 72 61 7E 65 20 31 31 32 8B "
    "E5 37 39 30 39 38 8C F4 46 72 65 69 62 75 72 67 20 69 6D 20 42 72 65 69 73 67 61 75 8D E4 "
    "30 36 32 37 8E E1 34 36 04";

struct LineRun {
    const char* name;
    int chunk;
    const char* fault;       // nullptr: none
    const char* traceCheck;  // a trace line that shows the fault happened
    bool longCard = false;   // the shared long-form fixture instead of the card above
};

void PrintTo(const LineRun& run, std::ostream* os) {
    *os << run.name;
}

// Ticks like the window's 3000 ms timer until stopped.
class TimerThread {
  public:
    TimerThread()
        : thread_([this] {
              std::unique_lock lock(mutex_);
              while (!cv_.wait_for(lock, 3000ms, [this] { return stop_; })) {
                  lock.unlock();
                  OnTimer();
                  lock.lock();
              }
          }) {}
    ~TimerThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

class SerialEndToEndTest : public ::testing::TestWithParam<LineRun> {
  protected:
    void SetUp() override {
        core::ResetState();
        ResetBlockProtocol();
        std::ofstream(folder.Path() / "kvk.card") << "[card]\nkind = kvk\napp_offset = 0\n"
                                                  << "data = " << kKvkData << "\n";
    }
    void TearDown() override {
        if (sim > 0) {
            ::kill(sim, SIGTERM);
            int status = 0;
            ::waitpid(sim, &status, 0);
        }
        ::unsetenv("ORVA_COM5");
        ResetBlockProtocol();
        core::ResetState();
    }

    void StartSimulator(const LineRun& run) {
        const fs::path link = folder.Path() / "ttyKVK";
        std::vector<std::string> args = {
            ORVA_SERIAL_SIM,
            "--cards",
            run.longCard ? std::string(kLongCardFile) : (folder.Path() / "kvk.card").string(),
            "--link",
            link.string(),
            "--trace",
            (folder.Path() / "trace.txt").string(),
            "--chunk",
            std::to_string(run.chunk)};
        if (run.fault != nullptr) {
            args.insert(args.end(), {"--fault", run.fault});
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ASSERT_EQ(::posix_spawn(&sim, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!fs::exists(link) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(fs::exists(link)) << "the simulator made no link";
        ::setenv("ORVA_COM5", link.c_str(), 1);
    }

    std::vector<std::string> TraceLines() {
        std::ifstream in(folder.Path() / "trace.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    test::TempFolder folder{"orva-serial"};
    pid_t sim = -1;
};

TEST_P(SerialEndToEndTest, ReadsTheCardIntoTheOutputFile) {
    const LineRun& run = GetParam();
    StartSimulator(run);
    const fs::path output = folder.Path() / "ORVA.TXT";
    core::Options().writeFile = true;
    core::Options().outputFileName = output.string();
    test::RecordingUi ui;

    const auto started = std::chrono::steady_clock::now();
    CSerial port;
    ASSERT_TRUE(port.Open("COM5", 9600, 2, 0));
    ClearSoftwareFlowControl(port);
    SetProtocolPort(&port);
    port.SetCallback(SerialHandler::Receive, &OnSerialReceive);
    std::chrono::steady_clock::duration elapsed{};
    {
        TimerThread timer;
        StartBlockProtocol([](std::span<const std::uint8_t> data) {
            (void)record::DeliverRecord(record::BytesOnly(data), core::CardKind::Kvk);
        });
        const auto until = started + 30s;
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard lock(ui.mutex);
                if (ui.closes > 0)
                    break;
            }
            std::this_thread::sleep_for(5ms);
        }
        elapsed = std::chrono::steady_clock::now() - started;
    }
    port.Close();
    SetProtocolPort(nullptr);

    {
        std::lock_guard lock(ui.mutex);
        EXPECT_EQ(ui.closes, 1) << "the run never ended";
        EXPECT_TRUE(ui.boxes.empty()) << ui.boxes.front().text;
        EXPECT_FALSE(ui.status.empty());
    }
    const std::vector<std::uint8_t> record = test::ReadFileBytes(output);
    EXPECT_EQ(test::ToHex(record), run.longCard
                                       ? std::string(kLongCardRecord)
                                       : test::ToHex(std::vector<std::uint8_t>(
                                             kExpectedRecord.begin(), kExpectedRecord.end())));

    const std::vector<std::string> trace = TraceLines();
    std::size_t lineBytes = 0;
    bool faultSeen = run.traceCheck == nullptr;
    for (const std::string& line : trace) {
        if (line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0) {
            lineBytes += (line.size() - 2 + 1) / 3;
        }
        if (run.traceCheck != nullptr && line.find(run.traceCheck) == 0) {
            faultSeen = true;
        }
    }
    EXPECT_TRUE(faultSeen) << "no trace line starts with \"" << run.traceCheck << "\"";

    const double lineMs = static_cast<double>(lineBytes) * 11.0 * 1000.0 / 9600.0;
    const double limitMs = (lineMs + 500.0 + 200.0) * 1.1;
    const double tookMs = std::chrono::duration<double, std::milli>(elapsed).count();
    std::printf(
        "[ %s ] %zu bytes on the line: %.0f ms line time; took %.0f ms "
        "(line time + 700 ms + 10%% = %.0f ms)\n",
        run.name, lineBytes, lineMs, tookMs, limitMs);
}

INSTANTIATE_TEST_SUITE_P(Kvk, SerialEndToEndTest,
                         ::testing::Values(LineRun{"Chunk32", 32, nullptr, nullptr},
                                           LineRun{"Chunk1", 1, nullptr, nullptr},
                                           LineRun{"Chunk254", 254, nullptr, nullptr},
                                           // The checksum tag is the last byte of the third chunk.
                                           LineRun{"TagAtChunkEnd", 39, nullptr, nullptr},
                                           LineRun{"Split", 32, "split", nullptr},
                                           LineRun{"Surplus", 32, "surplus", "< FF"},
                                           LineRun{"Drop", 32, "drop", "- "},
                                           LineRun{"Pin", 32, "pin", "< 21 00 02 69 00"},
                                           LineRun{"LongCard", 32, nullptr, nullptr, true},
                                           LineRun{"LongCardSplit", 7, "split", nullptr, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orva::terminal
