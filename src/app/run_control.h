// Start-up and run control: what the main window does when it is created, shown, hidden,
// resized and closed, the abort button, the command-log click, and the reader thread that runs
// the reading runs (card after card in endless mode).
//
// The logic is the same for the Win32 window and the console program. The card terminal is
// reached through the Transport start-up created, the other subsystems and the operating system
// through Services, and the window through core::Ui, so the tests drive it with fakes.
//
// Threads: the handlers run on the GUI thread. Reading runs run on the reader thread (normal
// and invisible mode), or on the GUI thread (a click on ButtonRead in Debug mode, and the one run
// at start-up in invisible mode). Closing while a run is in progress sets the abort flag and
// waits for the reader thread, bounded and keeping the window alive; the client channel and the
// CT-API library are released only when no run can still be using them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/ctapi_binding.h"

namespace orva::app {

inline constexpr char kWindowCaption[] = "KVK / eGK";
inline constexpr char kEndOnlyCaption[] = "nur beenden";
inline constexpr char kInitialStatus[] = "Initialisierung ...";

// How long closing waits for a reading run in progress to end (a card that is never taken out
// keeps the eject loop going for ever).
inline constexpr unsigned kCloseWaitMs = 5000;

// How the cards are read: a CT-API library, whose reading runs run control starts (on the
// reader thread or the GUI thread), or the serial port, whose block protocol reads card after
// card by itself. Start-up chooses and creates it; run control only asks it.
class Transport {
  public:
    virtual ~Transport() = default;

    // Begins reading, once start-up has created the client channel. False when the transport
    // cannot work (the serial port does not open).
    [[nodiscard]] virtual bool Start() = 0;
    // Whether run control starts the reading runs (ReadingRun) of this transport.
    virtual bool RunsOnRequest() const = 0;
    // One whole reading run on the calling thread.
    virtual void ReadingRun() = 0;
    // The window's 3000 ms timer.
    virtual void TimerTick() = 0;
    // The window closes. runsEnded: no reading run can still be inside the transport; when
    // false, what a run may still use is left for the end of the process.
    virtual void Close(bool runsEnded) = 0;
};

// What start-up and run control call outside the window and the transport. Production code
// binds it to the other subsystems and to the platform; tests record the calls.
class Services {
  public:
    virtual ~Services() = default;

    // Deletes a file; 0 or the error number (2 = no such file).
    virtual int RemoveFile(const std::string& path) = 0;
    // Posts WM_CLOSE to a top-level window with exactly this caption, if there is one.
    virtual void CloseWindowByCaption(std::string_view caption) = 0;

    // The CT-API library for the port name and the -L suffix; the transport only when the
    // result is Loaded.
    virtual std::unique_ptr<Transport> LoadCtApiLibrary(std::string_view portName,
                                                        std::string_view suffix,
                                                        terminal::LoadResult& result) = 0;
    // The serial port object (not yet open): 9600 baud, even parity, one stop bit, XON/XOFF off,
    // its receive handler connected to the block protocol.
    virtual std::unique_ptr<Transport> SerialPort(const std::string& portName) = 0;

    virtual void DeliverErrorRecord() = 0;
    virtual bool CreateClientChannel(bool withMemory) = 0;
    virtual void ReleaseClientChannel() = 0;
};

// Start-up: scan, end a running instance, stale files, port check, CT-API library or serial
// port, client channel. args[0] is the program path.
void FormCreate(Services& services, const std::vector<std::string>& args);

void FormShow();
void FormHide();
void ButtonAbbruchClick(Services& services);

// The window's ButtonRead handler: one reading run on the GUI thread. With the serial transport
// it does nothing (the block protocol reads the card by itself), and so it does while a run is
// in progress.
void ButtonReadPressed();

// The window is being closed. Returns true when the window may go now; false when a reading run
// is in progress on the GUI thread (a message box of that run is open): the window then closes
// as soon as that run has ended (CloseIsPending()).
[[nodiscard]] bool FormClose(Services& services, unsigned waitMs = kCloseWaitMs);
bool CloseIsPending();

// The selected line of the command log, if any, is copied to the end of Memo.
void HexlistClick(const std::optional<std::string>& selectedLine);

// Memo's new height for the window's outer height, or none when it keeps its height.
std::optional<int> MemoHeightFor(int outerHeight);

// The window's EndlosLoop timer (every 3000 ms).
void EndlosLoopTick();

// Whether the reader thread is running (tests, and the front ends' shutdown).
bool ReaderThreadRunning();

// Back to the state at process start (tests). No reader thread may be running.
void ResetRunControl();

}  // namespace orva::app
