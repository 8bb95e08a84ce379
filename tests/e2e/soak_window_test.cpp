// The soak of ORVA.exe: ORVA.exe USB -LSIM -E reads 1600 cards from the simulated
// terminal (KVK and eGK mixed, some that stay in the slot after the eject command, some with a
// slow terminal) and hands every record to the running reference client. Every record must be
// exact and in order, none lost, none twice; the process's private bytes and its handle count
// must stay flat from card 100 to the last card, and the command log and the Memo within their
// limits. The figures are printed.
//
// The reference record of each card kind comes from ORVA.exe reading that card alone into the
// same client. The mix holds fewer eGK than the console soak: under Wine each eGK starts the
// command interpreter and GZIP.exe twice.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/text_bounds.h"
#include "app/window_ids.h"
#include "support/test_support.h"
#include "win_e2e_support.h"

namespace orva::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Enough cards for the command log to reach its 10,000 lines (about 7 lines a card).
constexpr std::size_t kCards = 1600;
// Growth from card 100 to the last card that still counts as flat. The Memo fills to its limit
// until about card 200 and the command log to its limit until about card 1400, together some
// 4 MB under Wine; while the Memo kept every line, the growth was 60 MB in 900 cards.
constexpr long long kFlatMemoryKb = 6144;
const std::string kErrorRecord("\x04OKVK 01-\x04", 10);

std::string Card(const char* fixture, const std::string& extra) {
    const std::string text = ReadText(CardsDir() / fixture);
    return text.substr(text.find("[card]")) + "\n" + extra + "\n";
}

bool TryRead(const fs::path& path, std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buffer[16384];
    DWORD n = 0;
    bool ok = true;
    text.clear();
    while ((ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr) != FALSE) && n > 0) {
        text.append(buffer, n);
    }
    CloseHandle(file);
    return ok;
}

// The client's records, read once each as they arrive.
class Records {
  public:
    explicit Records(fs::path folder) : folder_(std::move(folder)) {}
    std::size_t Count() {
        for (;;) {
            char name[32];
            std::snprintf(name, sizeof name, "record-%04zu.bin", records_.size() + 1);
            if (!fs::exists(folder_ / name)) {
                return records_.size();
            }
            // The client holds the file open, unshared, while it writes it: a file caught then
            // (or half-written) is read again at the next look.
            std::string text;
            if (!TryRead(folder_ / name, text) || text.empty() || text.back() != '\x04') {
                return records_.size();
            }
            records_.push_back(std::move(text));
        }
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
        return e2e::WaitFor([&] { return Count() >= count; }, timeout);
    }
    const std::string& operator[](std::size_t i) const { return records_[i]; }

  private:
    fs::path folder_;
    std::vector<std::string> records_;
};

// Asks the window itself, bounded: a hung program fails the test instead of stopping it.
std::string StatusText(HWND hwnd) {
    char text[256] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, &result);
    return text;
}

struct Sample {
    std::size_t card = 0;
    long long memoryKb = -1;  // private bytes (Windows), resident memory (the Wine process)
    long long handles = -1;   // handles (Windows), open file descriptors (the Wine process)
    long long logLines = -1;  // lines in the command log
    long long memoChars = -1;
};

// Asks a control of the window for a count, bounded like StatusText.
long long CountOf(HWND control, UINT message) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(control, message, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) == 0) {
        return -1;
    }
    return static_cast<long long>(result);
}

// Under Wine the process is a Linux process as well, and Wine reports neither the private bytes
// nor the handle count of another process: there the figures come from /proc of that process,
// found by a word of its command line that the program ignores (other ORVA.exe may run on the
// same machine at the same time).
std::optional<std::string> UnixProcess(const std::string& marker) {
    const fs::path proc = L"Z:\\proc";
    std::error_code error;
    for (auto it = fs::directory_iterator(proc, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string cmdline;
        if (TryRead(it->path() / "cmdline", cmdline) &&
            cmdline.find("ORVA.exe") != std::string::npos &&
            cmdline.find(marker) != std::string::npos) {
            return pid;
        }
    }
    return std::nullopt;
}

Sample Measure(HANDLE process, const std::optional<std::string>& unixPid, std::size_t card) {
    Sample sample{card, -1, -1};
    if (unixPid) {
        const fs::path proc = fs::path(L"Z:\\proc") / *unixPid;
        std::string status;
        if (TryRead(proc / "status", status)) {
            const std::size_t at = status.find("VmRSS:");
            if (at != std::string::npos) {
                sample.memoryKb = std::atoll(status.c_str() + at + 6);
            }
        }
        std::error_code error;
        sample.handles = 0;
        for (auto it = fs::directory_iterator(proc / "fd", error);
             !error && it != fs::directory_iterator(); it.increment(error)) {
            ++sample.handles;
        }
        return sample;
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        sample.memoryKb = static_cast<long long>(counters.PrivateUsage / 1024);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles)) {
        sample.handles = handles;
    }
    return sample;
}

class WindowSoakTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* xml : {"egk_pd.xml", "egk_vd.xml", "egk_gvd.xml"}) {
            fs::copy_file(CardsDir() / xml, tmp.Path() / xml);
        }
        fs::create_directories(clientDir);
        client = std::make_unique<ChildProcess>(QuotedProgram(L"OrvaClient.exe") + L" --out \"" +
                                                clientDir.wstring() + L"\"");
        ASSERT_TRUE(WaitFor([&] { return fs::exists(clientDir / "ready"); }, 30s));
    }
    fs::path Image(const std::string& name, const std::string& text) const {
        const fs::path path = tmp.Path() / name;
        test::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
        return path;
    }
    std::unique_ptr<ChildProcess> Orva(const std::string& args, const fs::path& image) const {
        return std::make_unique<ChildProcess>(
            QuotedProgram(L"ORVA.exe") + L" " + std::wstring(args.begin(), args.end()),
            std::map<std::wstring, std::wstring>{{L"TMP", tmp.Path().wstring()},
                                                 {L"TEMP", tmp.Path().wstring()},
                                                 {L"ORVA_SIM_CARDS", WinePath(image)}});
    }

    test::TempFolder tmp{"orva-wsoak"};
    fs::path clientDir = tmp.Path() / "client";
    std::unique_ptr<ChildProcess> client;
    Records records{clientDir};
};

TEST_F(WindowSoakTest, CardAfterCardInEndlessModeReachTheClientAndTheMemoryStaysFlat) {
    struct Group {
        const char* fixture;
        std::string extra;
        unsigned repeat;
    };
    // One round of 100 cards.
    const Group round[] = {
        {"kvk.ini", "", 45},
        {"egk.ini", "", 2},
        {"kvk_long.ini", "latency_ms = 1", 10},
        {"kvk.ini", "eject_busy = 1", 1},
        {"kvk_long.ini", "", 40},
        {"egk.ini", "latency_ms = 1\neject_busy = 1", 1},
        {"kvk.ini", "latency_ms = 2", 1},
    };
    constexpr unsigned kRounds = kCards / 100;

    // The reference record of each fixture, read alone.
    std::vector<std::pair<std::string, std::string>> references;
    auto reference = [&](const char* fixture) -> std::string {
        for (const auto& [name, record] : references) {
            if (name == fixture)
                return record;
        }
        const std::size_t before = records.Count();
        auto orva = Orva("USB -LSIM", Image("one.ini", Card(fixture, "")));
        EXPECT_TRUE(orva->Ended(120s)) << fixture;
        EXPECT_TRUE(records.WaitFor(before + 1, 30s)) << fixture;
        references.emplace_back(fixture, before < records.Count() ? records[before] : "");
        return references.back().second;
    };
    std::string image = "[terminal]\nrounds = " + std::to_string(kRounds) + "\n";
    std::vector<std::string> expected;
    for (const Group& g : round) {
        image += Card(g.fixture, g.extra + "\nrepeat = " + std::to_string(g.repeat));
        const std::string record = reference(g.fixture);
        ASSERT_EQ(record.substr(0, 8), std::string("\x04OKVK 01", 8)) << g.fixture;
        ASSERT_NE(record, kErrorRecord) << g.fixture;
        if (std::string_view(g.fixture) == "egk.ini") {
            // A reference read whose decompression failed holds the prefixes alone.
            ASSERT_NE(record.find(">Vorname>Lieselotte"), std::string::npos)
                << ::testing::PrintToString(record);
            ASSERT_NE(record.find(">Kostentraegerkennung>109500969"), std::string::npos)
                << ::testing::PrintToString(record);
        }
        expected.insert(expected.end(), g.repeat, record);
    }
    ASSERT_EQ(expected.size() * kRounds, kCards);
    const std::size_t first = records.Count();

    const fs::path soakImage = Image("soak.ini", image);
    // An element without "-" or "/" and without COM, USB or LAN is ignored by the program.
    const std::string marker = "soak" + std::to_string(GetCurrentProcessId());
    auto orva = Orva("USB -LSIM -E " + marker, soakImage);
    ASSERT_TRUE(orva->Started());
    std::optional<std::string> unixPid;
    WaitFor([&] { return (unixPid = UnixProcess(marker)).has_value(); }, 10s);
    std::vector<Sample> samples;
    for (std::size_t at = 100; at <= kCards; at += 100) {
        // No time limit worth the name: only a run that stops delivering ends the wait.
        if (!records.WaitFor(first + at, 600s)) {
            break;
        }
        samples.push_back(Measure(orva->Handle(), unixPid, at));
        HWND main = FindWindowW(app::kMainWindowClass, nullptr);
        samples.back().logLines = CountOf(GetDlgItem(main, app::kIdHexlist), LB_GETCOUNT);
        samples.back().memoChars = CountOf(GetDlgItem(main, app::kIdMemo), WM_GETTEXTLENGTH);
    }
    const char* memoryName = unixPid ? "resident memory" : "private bytes";
    const char* handleName = unixPid ? "open file descriptors" : "handles";
    for (const Sample& s : samples) {
        std::printf(
            "card %4zu: %s %lld kB, %lld %s, %lld lines in the command log, %lld "
            "characters in the Memo\n",
            s.card, memoryName, s.memoryKb, s.handles, handleName, s.logLines, s.memoChars);
    }
    std::fflush(stdout);
    ASSERT_EQ(samples.size(), kCards / 100) << records.Count() - first << " records";

    // Abbruch while the run waits for the next card: the ErrorRecord, then the program ends.
    HWND main = FindWindowW(app::kMainWindowClass, nullptr);
    ASSERT_NE(main, nullptr);
    HWND status = GetDlgItem(main, app::kIdStatus);
    ASSERT_TRUE(WaitFor([&] { return StatusText(status) == "Versichertenkarte einstecken"; }, 60s));
    PostMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
    EXPECT_TRUE(orva->Ended(60s));
    ASSERT_TRUE(records.WaitFor(first + kCards + 1, 30s));

    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kCards; ++i) {
        const std::string& got = records[first + i];
        const std::string& want = expected[i % expected.size()];
        if (got != want && ++wrong <= 3) {
            // Both sides around the first differing byte: a wrong reference shows as every
            // card of one kind differing in the same place.
            const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
            const std::size_t from = static_cast<std::size_t>(at.first - got.begin());
            const std::size_t start = from < 20 ? 0 : from - 20;
            ADD_FAILURE() << "record " << i + 1 << " differs at byte " << from << ": " << got.size()
                          << " bytes, expected " << want.size() << "\n got  "
                          << ::testing::PrintToString(got.substr(start, 60)) << "\n want "
                          << ::testing::PrintToString(want.substr(start, 60));
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(records[first + kCards], kErrorRecord);
    EXPECT_EQ(records.Count(), first + kCards + 1);

    // A handle or two may be open for a moment (the decompressor's process while it runs).
    EXPECT_GT(samples.front().handles, 0);
    EXPECT_LE(samples.back().handles, samples.front().handles + 4);
    EXPECT_GT(samples.front().memoryKb, 0);
    EXPECT_LE(samples.back().memoryKb - samples.front().memoryKb, kFlatMemoryKb);

    // Both views stay within their limits and keep their newest lines.
    for (const Sample& s : samples) {
        EXPECT_GE(s.logLines, 0) << "card " << s.card;
        EXPECT_LE(s.logLines, static_cast<long long>(app::kCommandLogLines)) << "card " << s.card;
        EXPECT_GE(s.memoChars, 0) << "card " << s.card;
        EXPECT_LE(s.memoChars, static_cast<long long>(app::kMemoChars)) << "card " << s.card;
    }
    EXPECT_EQ(samples.back().logLines, static_cast<long long>(app::kCommandLogLines));
    EXPECT_GT(samples.back().memoChars, static_cast<long long>(app::kMemoChars / 2));
}

}  // namespace
}  // namespace orva::e2e
