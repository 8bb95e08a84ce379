// CSerial: a serial port opened for overlapped transfers, with an event thread that hands every
// port event to one of eight notification handlers. Same interface on Windows and Linux.
//
// Each handler calls the callback stored for it with the user data; without a callback it
// posts its code (below) to the notification window, with WPARAM 0 and LPARAM the object's
// address; without either it does nothing, except OnReceive, which then throws away what was
// received. Codes: OnOpen 0x501, OnClose 0x502, OnReceive 0x503, OnTransmitEmpty 0x504,
// OnCarrier 0x505, OnRing 0x506, OnDsrChange 0x507, OnCtsChange 0x508. Within one wake-up the
// handlers run in this order: receive, transmit-empty, carrier, ring, CTS, DSR.
//
// Lifecycle: Open starts the event thread after calling OnOpen; Close closes the port without
// waiting for the thread, which then calls OnClose exactly once and ends. The destructor closes
// the port and waits for the thread, so a class that overrides handlers must Close() in its own
// destructor.
//
// Linux: "COMn" opens the device named by the environment variable ORVA_COMn when it is set,
// else /dev/ttyS<n-1>; any other name opens as given. The line is set to the given rate, 8 data
// bits, the given parity and stop bits, no flow control of any kind. The modem lines are
// watched only where TIOCMGET works (a pseudo-terminal has none).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace orva::terminal {

using SerialCallback = void (*)(void* userData);

enum class SerialHandler : int {
    Open = 0,
    Close,
    Receive,
    TransmitEmpty,
    Ring,
    Carrier,
    DsrChange,
    CtsChange,
};

// Event bits as the Windows event mask has them; the Linux half reports the same bits.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvModemLines = kEvCts | kEvDsr | kEvRlsd | kEvRing;
inline constexpr std::uint32_t kEventMask = kEvRxChar | kEvTxEmpty | kEvModemLines;

// Modem status bits (MS_*_ON).
inline constexpr std::uint32_t kMsCtsOn = 0x10;
inline constexpr std::uint32_t kMsDsrOn = 0x20;
inline constexpr std::uint32_t kMsRingOn = 0x40;
inline constexpr std::uint32_t kMsRlsdOn = 0x80;

inline constexpr std::uint32_t kParityEven = 2;
inline constexpr std::uint32_t kOneStopBit = 0;

#ifdef _WIN32
using SerialHandle = void*;  // HANDLE; INVALID_HANDLE_VALUE when not open
#else
using SerialHandle = int;  // file descriptor; -1 when not open
#endif

class CSerial {
  public:
    CSerial();
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // parity 2 = even, stopBits 0 = one stop bit (the Windows encodings). False when the
    // device cannot be opened; then no thread is started and no handler is called.
    bool Open(const char* name, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // Always true; a second call does nothing.
    bool Close();
    // Sends count bytes; gives up after 1000 ms. One write at a time.
    bool Write(const std::uint8_t* bytes, std::uint32_t count);
    // Copies at most maxCount of the bytes already received; never waits for more.
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maxCount);
    SerialHandle Handle() const;

    void SetCallback(SerialHandler handler, SerialCallback callback);
    void SetUserData(void* userData) { userData_.store(userData); }
    // The window (HWND) that receives posted notifications; Windows only.
    void SetNotifyWindow(void* window) { notifyWindow_.store(window); }

    bool IsOpen() const { return open_.load(); }
    const std::string& PortName() const { return portName_; }
    std::uint32_t BaudRate() const { return baudRate_; }
    bool Cts() const { return cts_.load(); }
    bool Dsr() const { return dsr_.load(); }
    bool Ring() const { return ring_.load(); }
    bool Rlsd() const { return rlsd_.load(); }

    virtual void OnOpen();
    virtual void OnClose();
    virtual void OnReceive();
    virtual void OnTransmitEmpty();
    virtual void OnRing();
    virtual void OnCarrier();
    virtual void OnDsrChange();
    virtual void OnCtsChange();

    struct Platform;

  private:
    // Runs the handler's callback, or posts its code; true when either happened.
    bool Notify(SerialHandler handler, std::uint32_t code);
    void PostToWindow(std::uint32_t code);
    void PurgeReceive();
    void EventLoop();
    // Calls the handlers for one wake-up; modemStatus is read only when needed.
    void Dispatch(std::uint32_t events);
    std::uint32_t ModemStatus();

    std::array<std::atomic<SerialCallback>, 8> callbacks_{};
    std::atomic<bool> open_{false};
    std::string portName_;
    std::uint32_t baudRate_ = 0;
    std::atomic<void*> userData_{nullptr};
    std::atomic<void*> notifyWindow_{nullptr};
    std::atomic<bool> cts_{false}, dsr_{false}, ring_{false}, rlsd_{false};
    std::unique_ptr<Platform> platform_;
};

// Start-up's second step after a successful Open: read the settings, switch XON/XOFF off in
// both directions, write them back. Nothing to do on Linux, where Open sets no XON/XOFF.
void ClearSoftwareFlowControl(CSerial& port);

#ifndef _WIN32
// The device Open uses for a port name: ORVA_COMn or /dev/ttyS<n-1> for "COMn", else the name.
std::string SerialDevicePath(const std::string& name);
#endif

}  // namespace orva::terminal
