// Start-up and run control: what the main window does when it is created, shown, hidden,
// resized and closed, the abort button, the command-log click, and the reader thread that runs
// the reading runs (card after card in endless mode).
//
// The logic is the same for the Win32 window and the console program. Everything it calls in
// other subsystems or in the operating system goes through Services, and everything it does to
// the window goes through core::Ui, so the tests drive it with fakes.
//
// Threads: the handlers run on the GUI thread. Reading runs run on the reader thread (normal
// and invisible mode), or on the GUI thread (a click on ButtonRead in Debug mode, and the one run
// at start-up in invisible mode). Closing while a run is in progress sets the abort flag and
// waits for the reader thread, bounded and keeping the window alive; the client channel and the
// CT-API library are released only when no run can still be using them.
#pragma once

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

// What start-up and run control call outside the window. Production code binds it to the other
// subsystems and to the platform; tests record the calls.
class Services {
public:
    virtual ~Services() = default;

    // Deletes a file; 0 or the error number (2 = no such file).
    virtual int RemoveFile(const std::string& path) = 0;
    // Posts WM_CLOSE to a top-level window with exactly this caption, if there is one.
    virtual void CloseWindowByCaption(std::string_view caption) = 0;

    virtual terminal::LoadResult LoadCtApi(std::string_view portName, std::string_view suffix) = 0;
    virtual bool CtApiLoaded() = 0;
    virtual void UnloadCtApi() = 0;
    // One whole reading run on the calling thread.
    virtual void ReadingRun() = 0;

    virtual void DeliverErrorRecord() = 0;
    virtual bool CreateClientChannel(bool withMemory) = 0;
    virtual void ReleaseClientChannel() = 0;

    // Creates the serial port object and opens the port (9600 baud, even parity, one stop bit),
    // switches XON/XOFF off and connects the receive handler to the block protocol.
    virtual bool OpenSerial(const std::string& portName) = 0;
    virtual void StartSerialProtocol() = 0;
    virtual void CloseSerial() = 0;
    // The 3000 ms timer: the serial protocol's supervision.
    virtual void SerialTimerTick() = 0;

    // The window in its compact view (Status, ButtonAbbruch and the labels only).
    virtual void ShowCompactView() = 0;
    // Handles the window's pending messages (used while closing waits for the reader thread).
    virtual void PumpMessages() = 0;
};

// Start-up: scan, end a running instance, stale files, port check, CT-API library or serial
// port, client channel. args[0] is the program path.
void FormCreate(Services& services, const std::vector<std::string>& args);

void FormShow(Services& services);
void FormHide(Services& services);
void ButtonAbbruchClick(Services& services);

// The ButtonRead handler as the window calls it: one reading run on the GUI thread. In serial
// mode (no CT-API library) it does nothing: the serial protocol reads the card by itself.
void ButtonReadClick(Services& services);

// The window is being closed. Returns true when the window may go now; false when a reading run
// is in progress on the GUI thread (a message box of that run is open): the window then closes
// as soon as that run has ended (CloseIsPending()).
[[nodiscard]] bool FormClose(Services& services, unsigned waitMs = kCloseWaitMs);
bool CloseIsPending();

// The selected line of the command log, if any, is copied to the end of Memo.
void HexlistClick(const std::optional<std::string>& selectedLine);

// Memo's new height for the window's outer height, or none when it keeps its height.
std::optional<int> MemoHeightFor(int outerHeight);

void OnTimer(Services& services);

// Whether the reader thread is running (tests, and the front ends' shutdown).
bool ReaderThreadRunning();

// Back to the state at process start (tests). No reader thread may be running.
void ResetRunControl();

}  // namespace orva::app
