// CSerial on Windows: an overlapped COM port and an event thread.
//
// Open makes the platform calls in this order: CreateFileA (overlapped, no sharing),
// GetCommState/SetCommState, SetCommMask, SetupComm, PurgeComm, SetCommTimeouts, CreateEventA
// for the read and the write block, EscapeCommFunction(SETDTR), OnOpen, CreateThread.
//
// The event thread waits with an overlapped WaitCommEvent on an event of its own, together
// with a close event that Close sets, so that closing always ends the wait. (A synchronous
// wait on a handle opened for overlapped I/O would be undefined.) Where a driver refuses the
// event wait, as Wine does on a port mapped to a pseudo-terminal, the thread falls back to
// looking at the input queue every 20 ms and reports EV_RXCHAR when bytes have come in.
//
// The port handle is used under one mutex, and Close closes it under that mutex, so no call
// can reach a handle value that has been closed and reused. Close does not wait for the
// thread; the destructor does.
#include <windows.h>

#include <algorithm>
#include <mutex>

#include "core/handle_win.h"
#include "terminal/serial_port.h"

namespace orva::terminal {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kTimeoutMs = 1000;
constexpr DWORD kFallbackPollMs = 20;

// "COM10" and above open only through the device namespace; "\\.\COMn" works for every n.
std::string DevicePath(const char* name) {
    const std::string text = name;
    if (text.size() > 3 && _strnicmp(text.c_str(), "COM", 3) == 0 &&
        std::all_of(text.begin() + 3, text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "\\\\.\\" + text;
    }
    return text;
}

}  // namespace

struct CSerial::Platform {
    std::mutex io;
    core::FileHandle port;
    core::Handle thread;
    OVERLAPPED writeBlock{};
    OVERLAPPED readBlock{};
    OVERLAPPED waitBlock{};
    DWORD waitMask = 0;  // written when the event wait completes, so it lives with the object
    core::Handle readEvent, writeEvent, waitEvent;  // the OVERLAPPED blocks' events
    core::Handle closeEvent;

    static DWORD WINAPI ThreadStart(LPVOID self) {
        static_cast<CSerial*>(self)->EventLoop();
        return 0;
    }
};

CSerial::CSerial() : platform_(std::make_unique<Platform>()) {}

CSerial::~CSerial() {
    Close();
    Platform& p = *platform_;
    if (p.thread && GetThreadId(p.thread.Get()) != GetCurrentThreadId()) {
        WaitForSingleObject(p.thread.Get(), INFINITE);
    }
}

bool CSerial::Open(const char* name, std::uint32_t baudRate, std::uint8_t parity,
                   std::uint8_t stopBits) {
    Platform& p = *platform_;
    if (open_.load() || name == nullptr || p.thread) {
        return false;
    }
    const std::string device = DevicePath(name);
    core::FileHandle opened(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!opened) {
        return false;
    }
    // Without its events the port cannot wait for anything: refused like a port that does not
    // open.
    for (core::Handle* event : {&p.readEvent, &p.writeEvent, &p.waitEvent, &p.closeEvent}) {
        event->Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!*event) {
            return false;
        }
    }
    const HANDLE port = opened.Get();
    portName_ = name;
    baudRate_ = baudRate;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fOutxDsrFlow = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fInX = 1;
    dcb.fOutX = 1;
    SetCommState(port, &dcb);
    SetCommMask(port, kEventMask);
    SetupComm(port, kQueueSize, kQueueSize);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kTimeoutMs;
    SetCommTimeouts(port, &timeouts);

    p.readBlock = OVERLAPPED{};
    p.writeBlock = OVERLAPPED{};
    p.waitBlock = OVERLAPPED{};
    p.readBlock.hEvent = p.readEvent.Get();
    p.writeBlock.hEvent = p.writeEvent.Get();
    p.waitBlock.hEvent = p.waitEvent.Get();
    {
        std::lock_guard lock(p.io);
        p.port = std::move(opened);
    }
    open_.store(true);
    EscapeCommFunction(port, SETDTR);
    OnOpen();
    p.thread.Reset(CreateThread(nullptr, 0, &Platform::ThreadStart, this, 0, nullptr));
    if (!p.thread) {
        // Without an event thread nobody would ever call OnClose; close the port again.
        Close();
        OnClose();
    }
    return true;
}

bool CSerial::Close() {
    Platform& p = *platform_;
    if (!open_.exchange(false)) {
        return true;
    }
    {
        std::lock_guard lock(p.io);
        p.port.Reset();
    }
    if (p.closeEvent) {
        SetEvent(p.closeEvent.Get());
    }
    return true;
}

bool CSerial::Write(const std::uint8_t* bytes, std::uint32_t count) {
    Platform& p = *platform_;
    std::lock_guard lock(p.io);
    if (!p.port) {
        return false;
    }
    ResetEvent(p.writeBlock.hEvent);
    DWORD written = 0;
    if (WriteFile(p.port.Get(), bytes, count, &written, &p.writeBlock)) {
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        while (true) {
            if (GetOverlappedResult(p.port.Get(), &p.writeBlock, &written, TRUE)) {
                return true;
            }
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                break;
            }
        }
    }
    DWORD errors = 0;
    ClearCommError(p.port.Get(), &errors, nullptr);
    return false;
}

std::uint32_t CSerial::Read(std::uint8_t* buffer, std::uint32_t maxCount) {
    Platform& p = *platform_;
    std::lock_guard lock(p.io);
    if (!p.port) {
        return 0;
    }
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(p.port.Get(), &errors, &status);
    const DWORD n = std::min<DWORD>(maxCount, status.cbInQue);
    if (n == 0) {
        return 0;
    }
    ResetEvent(p.readBlock.hEvent);
    DWORD got = 0;
    if (ReadFile(p.port.Get(), buffer, n, &got, &p.readBlock)) {
        return got;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        while (true) {
            if (GetOverlappedResult(p.port.Get(), &p.readBlock, &got, TRUE)) {
                return got;
            }
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                break;
            }
        }
        ClearCommError(p.port.Get(), &errors, nullptr);
        return got;
    }
    ClearCommError(p.port.Get(), &errors, nullptr);
    return 0;
}

SerialHandle CSerial::Handle() const {
    std::lock_guard lock(platform_->io);
    return platform_->port.Get();
}

void CSerial::PostToWindow(std::uint32_t code) {
    PostMessageA(static_cast<HWND>(notifyWindow_.load()), code, 0, reinterpret_cast<LPARAM>(this));
}

void CSerial::PurgeReceive() {
    std::lock_guard lock(platform_->io);
    if (platform_->port) {
        PurgeComm(platform_->port.Get(), PURGE_RXCLEAR);
    }
}

std::uint32_t CSerial::ModemStatus() {
    std::lock_guard lock(platform_->io);
    DWORD status = 0;
    if (!platform_->port || !GetCommModemStatus(platform_->port.Get(), &status)) {
        return 0;
    }
    return status;
}

void CSerial::EventLoop() {
    Platform& p = *platform_;
    bool fallback = false;
    DWORD queuedBefore = 0;
    while (open_.load()) {
        DWORD events = 0;
        if (!fallback) {
            bool pending = false;
            {
                std::lock_guard lock(p.io);
                if (!p.port) {
                    break;
                }
                ResetEvent(p.waitBlock.hEvent);
                p.waitMask = 0;
                if (WaitCommEvent(p.port.Get(), &p.waitMask, &p.waitBlock)) {
                    pending = false;
                    events = p.waitMask;
                } else if (GetLastError() == ERROR_IO_PENDING) {
                    pending = true;
                } else {
                    fallback = true;
                    continue;
                }
            }
            if (pending) {
                const HANDLE waits[2] = {p.waitBlock.hEvent, p.closeEvent.Get()};
                const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
                if (which != WAIT_OBJECT_0 || !open_.load()) {
                    break;
                }
                std::lock_guard lock(p.io);
                DWORD unused = 0;
                if (!p.port || !GetOverlappedResult(p.port.Get(), &p.waitBlock, &unused, FALSE)) {
                    fallback = static_cast<bool>(p.port);
                    continue;
                }
                events = p.waitMask;
            }
        } else {
            if (WaitForSingleObject(p.closeEvent.Get(), kFallbackPollMs) != WAIT_TIMEOUT) {
                break;
            }
            std::lock_guard lock(p.io);
            if (!p.port) {
                break;
            }
            DWORD errors = 0;
            COMSTAT status{};
            ClearCommError(p.port.Get(), &errors, &status);
            if (status.cbInQue > queuedBefore) {
                events = kEvRxChar;
            }
            queuedBefore = status.cbInQue;
        }
        if (!open_.load()) {
            break;
        }
        if (events != 0) {
            Dispatch(events);
            if (fallback && (events & kEvRxChar) != 0) {
                std::lock_guard lock(p.io);
                DWORD errors = 0;
                COMSTAT status{};
                if (p.port && ClearCommError(p.port.Get(), &errors, &status)) {
                    queuedBefore = status.cbInQue;
                }
            }
        }
    }
    OnClose();
}

void ClearSoftwareFlowControl(CSerial& port) {
    HANDLE handle = port.Handle();
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) {
        dcb.fInX = 0;
        dcb.fOutX = 0;
        SetCommState(handle, &dcb);
    }
}

}  // namespace orva::terminal
