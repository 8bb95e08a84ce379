// The 1000-card soak of the Linux console program: orva USB -LSIM -E reads 1000 cards from the
// simulated terminal (KVK and eGK mixed, some that stay in the slot for a while after the eject
// command, some with a slow terminal) and writes the records to standard output. Every record
// must be exact and in order, none lost, none twice; the process's memory (RSS) and its open
// file descriptors must stay flat from card 100 to card 1000. The figures are printed.
//
// The reference record of each card kind comes from a run of that card alone.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

constexpr std::size_t kCards = 1000;
constexpr std::size_t kFirstSample = 100;
// Growth of the resident memory from card 100 to card 1000 that still counts as flat. A record
// kept per card (a leaked data buffer, an unbounded log) grows it by far more.
constexpr long kFlatRssKb = 2048;

// The [card] section of a fixture, with extra lines for it.
std::string Card(const char* fixture, const std::string& extra) {
    const std::string text = ReadText(CardsDir() / fixture);
    return text.substr(text.find("[card]")) + "\n" + extra + "\n";
}

// orva with standard output on a pipe; killed when the object goes, if it still runs.
class Console {
  public:
    Console(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        started_ = Spawn((BinDir() / "orva").string(), args, env,
                         {"TMP=", "ORVA_SIM_", "ASAN_OPTIONS="}, actions, pid_);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Console() {
        if (started_ && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool Started() const { return started_; }
    pid_t Pid() const { return pid_; }

    // Reads standard output until it holds at least count records, or it ends. Records are
    // split where the next one begins (04 "OKVK 01").
    std::size_t ReadRecords(std::size_t count) {
        char buffer[65536];
        while (Records() < count) {
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text_.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t p = text_.find(kHead, scanned_); p != std::string::npos;
                 p = text_.find(kHead, p + 1)) {
                starts_.push_back(p);
                scanned_ = p + 1;
            }
            scanned_ = std::max(scanned_,
                                text_.size() >= kHead.size() ? text_.size() - kHead.size() + 1 : 0);
        }
        return Records();
    }
    std::size_t Records() const { return starts_.size(); }
    // Record i; the last one read may still be incomplete.
    std::string Record(std::size_t i) const {
        const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : text_.size();
        return text_.substr(starts_[i], end - starts_[i]);
    }

    // Ctrl-C, then the rest of the output; true when the process ended.
    bool InterruptAndEnd() {
        kill(pid_, SIGINT);
        ReadRecords(SIZE_MAX);
        ended_ = waitpid(pid_, nullptr, 0) == pid_;
        return ended_;
    }
    // Runs to its end by itself.
    void Finish() {
        ReadRecords(SIZE_MAX);
        ended_ = waitpid(pid_, nullptr, 0) == pid_;
    }

  private:
    inline static const std::string kHead = std::string("\x04OKVK 01", 8);
    pid_t pid_ = -1;
    bool started_ = false, ended_ = false;
    int out_ = -1;
    std::string text_;
    std::vector<std::size_t> starts_;
    std::size_t scanned_ = 0;
};

struct Sample {
    std::size_t card = 0;
    long rssKb = -1;
    int fds = -1;
};

Sample Measure(pid_t pid, std::size_t card) {
    Sample sample{card, -1, 0};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            sample.rssKb = std::stol(line.substr(6));
        }
    }
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++sample.fds;
    }
    return sample;
}

class ConsoleSoakTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* xml : {"egk_pd.xml", "egk_vd.xml", "egk_gvd.xml"}) {
            fs::copy_file(CardsDir() / xml, tmp.Path() / xml);
        }
    }
    std::vector<std::string> Env(const fs::path& image) const {
        // A small quarantine: the sanitizer's own pool of freed memory would otherwise grow for
        // hundreds of cards and hide what the program keeps.
        return {"TMP=" + tmp.Path().string(), "ORVA_SIM_CARDS=" + image.string(),
                "ASAN_OPTIONS=quarantine_size_mb=1:detect_leaks=0"};
    }
    fs::path Image(const std::string& name, const std::string& text) const {
        const fs::path path = tmp.Path() / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // The record of one card read alone.
    std::string Reference(const std::string& card) {
        Console orva({"USB", "-LSIM"}, Env(Image("one.ini", card)));
        EXPECT_TRUE(orva.Started());
        orva.Finish();
        EXPECT_EQ(orva.Records(), 1u);
        return orva.Records() > 0 ? orva.Record(0) : std::string();
    }

    test::TempFolder tmp{"orva-soak"};
};

TEST_F(ConsoleSoakTest, AThousandCardsInEndlessModeKeepEveryRecordAndTheMemoryFlat) {
    struct Group {
        const char* fixture;
        std::string extra;
        unsigned repeat;
    };
    // One round of 100 cards; 10 rounds make the 1000.
    const Group round[] = {
        {"kvk.ini", "", 40},
        {"egk.ini", "", 12},
        {"kvk_long.ini", "latency_ms = 1", 10},
        {"egk.ini", "latency_ms = 1", 4},
        {"kvk.ini", "eject_busy = 1", 1},
        {"kvk_long.ini", "", 32},
        {"egk.ini", "eject_busy = 1", 1},
    };
    constexpr unsigned kRounds = 10;
    std::string image = "[terminal]\nrounds = " + std::to_string(kRounds) + "\n";
    std::vector<std::string> expected;
    for (const Group& g : round) {
        image += Card(g.fixture, g.extra + "\nrepeat = " + std::to_string(g.repeat));
        const std::string reference = Reference(Card(g.fixture, g.extra));
        ASSERT_EQ(reference.substr(0, 8), std::string("\x04OKVK 01", 8)) << g.fixture;
        ASSERT_NE(reference, std::string("\x04OKVK 01-\x04", 10)) << g.fixture;
        expected.insert(expected.end(), g.repeat, reference);
    }
    ASSERT_EQ(expected.size() * kRounds, kCards);

    Console orva({"USB", "-LSIM", "-E"}, Env(Image("soak.ini", image)));
    ASSERT_TRUE(orva.Started());
    std::vector<Sample> samples;
    for (std::size_t at = kFirstSample; at <= kCards; at += 100) {
        // Record `at` is complete once record at + 1 has begun; the last one once the program
        // waits for a card that does not come, which Ctrl-C ends with the ErrorRecord.
        if (orva.ReadRecords(at + (at < kCards ? 1 : 0)) < at) {
            break;
        }
        samples.push_back(Measure(orva.Pid(), at));
    }
    ASSERT_TRUE(orva.InterruptAndEnd());

    for (const Sample& s : samples) {
        std::printf("card %4zu: RSS %ld kB, %d open file descriptors\n", s.card, s.rssKb, s.fds);
    }
    std::fflush(stdout);

    ASSERT_EQ(orva.Records(), kCards + 1) << "every card, then the ErrorRecord of Ctrl-C";
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kCards; ++i) {
        if (orva.Record(i) != expected[i % expected.size()] && ++wrong <= 3) {
            ADD_FAILURE() << "record " << i + 1 << " differs: "
                          << test::ToHex(std::vector<std::uint8_t>(orva.Record(i).begin(),
                                                                   orva.Record(i).end()));
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(orva.Record(kCards), std::string("\x04OKVK 01-\x04", 10));

    ASSERT_EQ(samples.size(), kCards / 100);
    // A descriptor may be open for a moment (the pipe to the decompressor while it runs).
    EXPECT_LE(samples.back().fds, samples.front().fds + 2);
    EXPECT_LE(samples.back().rssKb - samples.front().rssKb, kFlatRssKb);
}

}  // namespace
}  // namespace orva::e2e
