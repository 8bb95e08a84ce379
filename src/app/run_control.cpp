// Start-up and run control, shared by the Win32 window and the console program.
//
// Run control by mode:
//   CT-API, neither -U nor -D   compact view; FormShow starts the reader thread; without -E the
//                               thread closes the window after one run
//   CT-API with -U              minimised and hidden; start-up runs one run on the GUI thread,
//                               which ends the application
//   CT-API with -D              full window; each click on ButtonRead runs one run
//   serial                      the block protocol drives the runs; -U minimises and hides
#include "app/run_control.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/command_line.h"
#include "core/platform.h"
#include "core/sleep.h"
#include "core/state.h"
#include "core/ui.h"

namespace orva::app {

namespace {

using Clock = std::chrono::steady_clock;

// What start-up acquired and what the handlers need to know about runs in progress. Written on
// the GUI thread; the reader thread's end is signalled under the mutex.
struct RunControl {
    // Created by start-up; none after a fatal start-up failure. Lives until the process ends
    // (only tests reset it), as a reader thread that did not end in time may still use it.
    std::unique_ptr<Transport> transport;
    bool guiRunActive = false;
    bool closePending = false;

    std::mutex mutex;
    std::condition_variable ended;
    bool readerRunning = false;
};

RunControl gRun;

void Terminate() {
    core::GetUi().RequestTerminate();
}

void WarningBox(const std::string& caption, const std::string& text, bool systemModal = false) {
    core::GetUi().ShowMessage(core::MessageBoxSpec{.caption = caption,
                                                   .text = text,
                                                   .icon = core::BoxIcon::Warning,
                                                   .systemModal = systemModal});
}

// A fatal start-up failure: no reading run may start while the application winds down.
void FatalEnd() {
    core::Options().debug = true;
    Terminate();
}

// A reading run on the GUI thread. Its waits handle the window's messages (and so does a message
// box of the run), so "Abbruch" and a close request reach run control meanwhile: the abort flag
// ends a wait for a card or the PIN, later phases run to their end, and a close is carried out
// once the run has ended. A click on ButtonRead meanwhile starts nothing.
void GuiThreadRun(Transport& transport) {
    gRun.guiRunActive = true;
    {
        const core::MessagePumpingWaits pumping;
        transport.ReadingRun();
    }
    gRun.guiRunActive = false;
    if (gRun.closePending) {
        core::GetUi().PostClose();
    }
}

// Whether run control starts the reading runs: a CT-API library, and none after a fatal
// start-up failure.
bool RunsOnRequest() {
    return gRun.transport && gRun.transport->RunsOnRequest();
}

void ReaderThreadBody(Transport* transport) {
    core::RunOptions& options = core::Options();
    do {
        transport->ReadingRun();
    } while (options.endless && !core::Reader().abort);
    if (!options.debug) {
        core::GetUi().PostClose();
    }
    std::lock_guard lock(gRun.mutex);
    gRun.readerRunning = false;
    gRun.ended.notify_all();
}

void StartReaderThread() {
    if (!RunsOnRequest()) {
        return;  // the serial protocol reads the cards by itself
    }
    {
        std::lock_guard lock(gRun.mutex);
        if (gRun.readerRunning) {
            return;  // one reader thread at a time
        }
        gRun.readerRunning = true;
    }
    std::thread(ReaderThreadBody, gRun.transport.get()).detach();
}

// Waits for the reader thread to end, handling the window's messages meanwhile; true when no
// reader thread runs any more.
bool WaitForReaderThread(unsigned timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::unique_lock lock(gRun.mutex);
            if (gRun.ended.wait_for(lock, std::chrono::milliseconds(20),
                                    [] { return !gRun.readerRunning; })) {
                return true;
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        core::GetUi().PumpMessages();
    }
}

// Step 2 of start-up: an intermediate file of an earlier run that cannot be removed.
bool RemoveStaleFile(Services& services, const std::string& name) {
    const std::string path = core::Options().tempDir + name;
    const int error = services.RemoveFile(path);
    if (error == 0 || error == 2) {
        return true;
    }
    WarningBox("Fehler " + name + " l\xF6schen",
               "Fehler unlink(" + path + "): " + std::to_string(error), true);
    services.DeliverErrorRecord();
    FatalEnd();
    return false;
}

}  // namespace

void FormCreate(Services& services, const std::vector<std::string>& args) {
    core::Ui& ui = core::GetUi();
    core::RunOptions& options = core::Options();

    if (ScanCommandLine(args, core::TempBase()) == ScanResult::EndRunningInstance) {
        // The own caption changes first, so that the search cannot find this window.
        ui.SetCaption(kEndOnlyCaption);
        services.CloseWindowByCaption(kWindowCaption);
        ui.SetMinimised(true);
        Terminate();
        return;
    }

    if (!RemoveStaleFile(services, "PD.XML") || !RemoveStaleFile(services, "VD.XML")) {
        return;
    }

    if (CheckPortArgument() == 0) {
        WarningBox(kVersionText, kUsageText);
        FatalEnd();
        return;
    }

    // The transport: a CT-API library when a suffix is given, else the serial port.
    const bool ctApi = !options.librarySuffix.empty();
    if (ctApi) {
        terminal::LoadResult result = terminal::LoadResult::NoLibrary;
        std::unique_ptr<Transport> library =
            services.LoadCtApiLibrary(options.portName, options.librarySuffix, result);
        switch (result) {
            case terminal::LoadResult::Loaded:
                gRun.transport = std::move(library);
                break;
            case terminal::LoadResult::NoLibrary:
                WarningBox("Fehler", "ct_api_*" + options.librarySuffix + ".dll fehlen");
                FatalEnd();
                return;
            case terminal::LoadResult::NoInit:
                WarningBox("Fehler", "ct_api_*.dll fehlerhaft");
                FatalEnd();
                return;
        }
        if (options.invisible) {
            // The client channel does not exist yet: the record reaches only an output file.
            GuiThreadRun(*gRun.transport);
        }
    }

    if (!services.CreateClientChannel(!options.writeFile)) {
        services.DeliverErrorRecord();
        WarningBox("Fehler", "Register Message");
    } else if (options.invisible) {
        ui.SetMinimised(true);
        ui.SetVisible(false);
    }

    if (!ctApi) {
        // The object exists from here on, even when the port does not open.
        gRun.transport = services.SerialPort(options.portName);
    }
    if (!gRun.transport->Start()) {
        services.DeliverErrorRecord();
        WarningBox("Fehler",
                   "Fehler beim \xD6"
                   "ffnen von " +
                       options.portName + ".");
        FatalEnd();
        return;
    }
    if (!ctApi && options.invisible) {
        ui.SetMinimised(true);  // once more, after the serial start
    }
}

void FormShow() {
    const core::RunOptions& options = core::Options();
    if (options.debug || options.invisible) {
        return;
    }
    core::Ui& ui = core::GetUi();
    ui.ShowCompactView();
    ui.SetStatus(kInitialStatus);
    ui.SetVisible(true);
    ui.BringToFront();
    StartReaderThread();
}

void FormHide() {
    const core::RunOptions& options = core::Options();
    if (options.debug || !options.invisible) {
        return;
    }
    core::GetUi().ShowCompactView();
    StartReaderThread();
}

void ButtonAbbruchClick(Services& services) {
    core::Reader().abort = true;
    core::Options().endless = false;
    services.DeliverErrorRecord();
    if (!RunsOnRequest() || core::Options().debug) {
        Terminate();
        return;
    }
    // Otherwise the run in progress sees the abort flag and ends. The window is closed as well,
    // which waits for that run (bounded): an eject loop whose card is never taken out takes no
    // notice of the abort flag, and the program must end all the same.
    core::GetUi().PostClose();
}

void ButtonReadPressed() {
    if (!RunsOnRequest() || gRun.guiRunActive) {
        return;
    }
    GuiThreadRun(*gRun.transport);
}

bool FormClose(Services& services, unsigned waitMs) {
    core::Options().endless = false;
    core::Reader().abort = true;
    if (gRun.guiRunActive) {
        gRun.closePending = true;
        return false;
    }
    gRun.closePending = false;

    // A run in progress may still be using the port, the shared memory or the library.
    const bool runEnded = WaitForReaderThread(waitMs);
    if (gRun.transport) {
        gRun.transport->Close(runEnded);
    }
    if (!runEnded) {
        // Left for the end of the process, which follows at once.
        return true;
    }
    if (!core::Options().writeFile) {
        services.ReleaseClientChannel();
    }
    return true;
}

bool CloseIsPending() {
    return gRun.closePending;
}

void HexlistClick(const std::optional<std::string>& selectedLine) {
    if (selectedLine) {
        core::GetUi().AppendMemo(*selectedLine);
    }
}

std::optional<int> MemoHeightFor(int outerHeight) {
    if (outerHeight > 435) {
        return outerHeight - 431;
    }
    return std::nullopt;
}

void EndlosLoopTick() {
    if (gRun.transport) {
        gRun.transport->TimerTick();
    }
}

bool ReaderThreadRunning() {
    std::lock_guard lock(gRun.mutex);
    return gRun.readerRunning;
}

void ResetRunControl() {
    gRun.transport.reset();
    gRun.guiRunActive = false;
    gRun.closePending = false;
    std::lock_guard lock(gRun.mutex);
    gRun.readerRunning = false;
}

}  // namespace orva::app
