// orva: the Linux console program. The same start-up and run control as the window, with the
// console as its window:
//   - Status prompts and message boxes go to standard error, one line each, in UTF-8; a box
//     reads "<caption>: <text>", its line breaks and tabs shown as blanks;
//   - with -D the command log and Memo lines go there too ("Hexlist: ...", "Memo: ..."), each
//     line read from standard input starts one reading run (a line "+" ticks delRecord, "-"
//     clears it), and the end of input closes the program;
//   - Ctrl-C is the abort button (a second Ctrl-C ends the program at once);
//   - without -F the record goes to standard output (the client channel of the Linux build).
//
// The main thread plays the GUI thread: it runs start-up and every handler, and waits in poll()
// for standard input, a wake-up pipe (posted close/terminate requests, Ctrl-C) and the 3000 ms
// timer of the serial protocol.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/run_control.h"
#include "app/services.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/ui.h"

namespace orva::app {
namespace {

int gWakePipe[2] = {-1, -1};
std::atomic<int> gInterrupts{0};

enum class Event { Close, Terminate };

void Wake(char byte) {
    ssize_t written = write(gWakePipe[1], &byte, 1);
    (void)written;  // a full pipe already wakes the loop
}

void OnInterrupt(int) {
    // Counted first: whatever the run does when it sees the flags below (a reader thread that
    // ends posts a close) comes after the loop can know of the interrupt.
    gInterrupts.fetch_add(1);
    // Seen at once by a run waiting for a card, even while the main thread is inside that run.
    core::Reader().abort = true;
    core::Options().endless = false;
    Wake('I');
}

// One console line in UTF-8; line breaks and tabs inside become blanks.
std::string ConsoleLine(std::string_view text) {
    std::string line;
    bool blank = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !line.empty()) {
            line += ' ';
        }
        blank = false;
        line += c;
    }
    return core::Cp1252ToUtf8(line);
}

class ConsoleUi final : public core::Ui {
  public:
    void SetStatus(std::string_view text) override {
        std::lock_guard lock(mutex_);
        if (text.find_first_not_of(' ') == std::string_view::npos || text == lastStatus_) {
            return;  // the blank after a run, and a prompt repeated while waiting
        }
        lastStatus_ = std::string(text);
        Print(text);
    }
    void AppendHexlist(std::string_view line) override { DebugLine("Hexlist: ", line); }
    void RepaintHexlist() override {}
    void AppendMemo(std::string_view line) override { DebugLine("Memo: ", line); }
    void SetLabel(core::Label, std::string_view) override {}
    void SetCaption(std::string_view) override {}
    bool DelRecordTicked() override { return delRecord_; }
    bool IsMinimised() override { return minimised_; }
    void SetMinimised(bool minimised) override { minimised_ = minimised; }
    void SetVisible(bool) override {}
    void BringToFront() override {}
    void ShowMessage(const core::MessageBoxSpec& box) override {
        std::lock_guard lock(mutex_);
        Print(box.caption + ": " + box.text);
    }
    void PostClose() override { Post(Event::Close); }
    void RequestTerminate() override { Post(Event::Terminate); }
    void ShowCompactView() override {}
    void PumpMessages() override {}

    void TickDelRecord(bool ticked) { delRecord_ = ticked; }
    bool TerminateRequested() {
        std::lock_guard lock(mutex_);
        for (Event event : events_) {
            if (event == Event::Terminate) {
                return true;
            }
        }
        return false;
    }
    bool TakeEvent(Event& event) {
        std::lock_guard lock(mutex_);
        if (events_.empty()) {
            return false;
        }
        event = events_.front();
        events_.pop_front();
        return true;
    }

  private:
    void Print(std::string_view text) {
        const std::string line = ConsoleLine(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    void DebugLine(const char* prefix, std::string_view text) {
        if (!core::Options().debug) {
            return;
        }
        std::lock_guard lock(mutex_);
        Print(prefix + std::string(text));
    }
    void Post(Event event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        }
        Wake('E');
    }

    std::mutex mutex_;
    std::string lastStatus_;
    std::deque<Event> events_;
    std::atomic<bool> delRecord_{false};
    std::atomic<bool> minimised_{false};
};

// The message loop. Returns when the application ends.
void RunLoop(ConsoleUi& ui, SystemServices& services) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kTick = std::chrono::milliseconds(3000);
    Clock::time_point nextTick = Clock::now() + kTick;
    bool readInput = core::Options().debug;
    std::string pending;
    int interruptsSeen = 0;
    // The first Ctrl-C is the "Abbruch" button, a second one ends the program at once. Taken
    // before every event: the reader thread ends on the flags the interrupt set and posts a
    // close, which must not end the program before the ErrorRecord is delivered.
    const auto takeInterrupts = [&] {
        const int interrupts = gInterrupts.load();
        if (interrupts > interruptsSeen) {
            if (interruptsSeen == 0) {
                ButtonAbbruchClick(services);
            } else {
                ui.RequestTerminate();
            }
            interruptsSeen = interrupts;
        }
    };

    for (;;) {
        Event event;
        takeInterrupts();
        while (ui.TakeEvent(event)) {
            takeInterrupts();
            if (event == Event::Terminate) {
                return;
            }
            if (FormClose(services)) {
                return;
            }
        }

        pollfd fds[2] = {{gWakePipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        const int ready =
            poll(fds, readInput ? 2 : 1, wait.count() > 0 ? static_cast<int>(wait.count()) : 0);
        if (Clock::now() >= nextTick) {
            nextTick = Clock::now() + kTick;
            EndlosLoopTick();
        }
        if (ready <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char bytes[64];
            (void)read(gWakePipe[0], bytes, sizeof bytes);
            takeInterrupts();
        }
        if (readInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char bytes[256];
            const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
            if (n <= 0) {
                readInput = false;
                ui.PostClose();  // end of input closes the window
                continue;
            }
            pending.append(bytes, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line == "+" || line == "-") {
                    ui.TickDelRecord(line == "+");
                } else {
                    ButtonReadPressed();
                }
            }
        }
    }
}

int Main(int argc, char** argv) {
    if (pipe(gWakePipe) != 0) {
        std::perror("pipe");
        return 1;
    }
    for (int fd : gWakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    static ConsoleUi ui;
    static SystemServices services;
    core::SetUi(&ui);

    const std::vector<std::string> args(argv, argv + argc);
    FormCreate(services, args);
    // The window is shown when the loop starts, unless start-up minimised it or ends already.
    if (!ui.TerminateRequested() && !ui.IsMinimised()) {
        FormShow();
    }
    RunLoop(ui, services);
    return 0;
}

}  // namespace
}  // namespace orva::app

int main(int argc, char** argv) {
    const int status = orva::app::Main(argc, argv);
    std::fflush(stdout);
    std::fflush(stderr);
    // A reader thread may still be inside a run (a card never taken out): end the process
    // without running static destructors under its feet.
    _exit(status);
}
