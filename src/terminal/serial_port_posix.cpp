// CSerial on Linux: termios and a poll()-based event thread.
//
// The event thread waits on the port and on a wake-up pipe that Close and Write write to, so
// closing always ends the wait and a write is watched until it has drained. It reports:
//   EV_RXCHAR   when bytes have arrived that were not there after the previous receive event
//               (like the Windows event: bytes the handler leaves queued do not report again
//               until more arrive);
//   EV_TXEMPTY  once the output queue has drained after a Write;
//   EV_CTS, EV_DSR, EV_RLSD, EV_RING  when the line changes, checked every 50 ms, only where
//               TIOCMGET works (a pseudo-terminal has no modem lines).
// The descriptor is used under one mutex, and Close clears it under that mutex, so a Read or
// Write racing with Close finds the port closed instead of a reused descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/fd_posix.h"
#include "core/platform.h"
#include "terminal/serial_port.h"

namespace orva::terminal {

namespace {

constexpr int kModemPollMs = 50;
constexpr int kDrainPollMs = 5;
constexpr int kStalledPollMs = 10;
constexpr int kHangupPollMs = 100;
constexpr auto kWriteTimeout = std::chrono::milliseconds(1000);

speed_t SpeedFor(std::uint32_t baudRate) {
    switch (baudRate) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

}  // namespace

std::string SerialDevicePath(const std::string& name) {
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
        (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm') &&
        std::all_of(name.begin() + 3, name.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        const unsigned long number = std::strtoul(name.c_str() + 3, nullptr, 10);
        const std::string variable = "ORVA_COM" + std::to_string(number);
        if (auto device = core::GetEnv(variable.c_str()); device && !device->empty()) {
            return *device;
        }
        if (number >= 1) {
            return "/dev/ttyS" + std::to_string(number - 1);
        }
    }
    return name;
}

struct CSerial::Platform {
    std::mutex io;
    core::UniqueFd fd;
    core::UniqueFd wake[2];  // the wake-up pipe: read end, write end
    std::thread thread;
    std::atomic<bool> txPending{false};
    bool modemLines = false;
};

CSerial::CSerial() : platform_(std::make_unique<Platform>()) {}

CSerial::~CSerial() {
    Close();
    if (platform_->thread.joinable()) {
        if (platform_->thread.get_id() == std::this_thread::get_id()) {
            platform_->thread.detach();
        } else {
            platform_->thread.join();
        }
    }
}

bool CSerial::Open(const char* name, std::uint32_t baudRate, std::uint8_t parity,
                   std::uint8_t stopBits) {
    if (open_.load() || name == nullptr) {
        return false;
    }
    const std::string device = SerialDevicePath(name);
    core::UniqueFd opened(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!opened) {
        return false;
    }
    if (!platform_->wake[0]) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            return false;
        }
        platform_->wake[0].Reset(ends[0]);
        platform_->wake[1].Reset(ends[1]);
    }
    const int fd = opened.Get();
    // No sharing, as on Windows; not every driver supports it.
    (void)::ioctl(fd, TIOCEXCL);
    portName_ = name;
    baudRate_ = baudRate;

    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        if (parity == 1 || parity == 2) {  // odd, even
            tio.c_cflag |= PARENB;
            if (parity == 1) {
                tio.c_cflag |= PARODD;
            }
            tio.c_iflag |= INPCK;
        }
        if (stopBits == 2) {  // two stop bits
            tio.c_cflag |= CSTOPB;
        }
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, SpeedFor(baudRate));
        ::cfsetospeed(&tio, SpeedFor(baudRate));
        (void)::tcsetattr(fd, TCSANOW, &tio);
    }
    (void)::tcflush(fd, TCIOFLUSH);

    int lines = 0;
    platform_->modemLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    {
        std::lock_guard lock(platform_->io);
        platform_->fd = std::move(opened);
    }
    open_.store(true);
    const int dtr = TIOCM_DTR;
    (void)::ioctl(fd, TIOCMBIS, &dtr);
    OnOpen();
    platform_->thread = std::thread([this] { EventLoop(); });
    return true;
}

bool CSerial::Close() {
    if (!open_.exchange(false)) {
        return true;
    }
    {
        std::lock_guard lock(platform_->io);
        platform_->fd.Reset();
    }
    const char byte = 1;
    (void)!::write(platform_->wake[1].Get(), &byte, 1);
    return true;
}

bool CSerial::Write(const std::uint8_t* bytes, std::uint32_t count) {
    std::lock_guard lock(platform_->io);
    if (!platform_->fd) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(platform_->fd.Get(), bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd out{platform_->fd.Get(), POLLOUT, 0};
        (void)::poll(&out, 1, static_cast<int>(left.count()));
    }
    platform_->txPending.store(true);
    // Wake the event thread so that it watches the output queue drain.
    const char byte = 0;
    (void)!::write(platform_->wake[1].Get(), &byte, 1);
    return true;
}

std::uint32_t CSerial::Read(std::uint8_t* buffer, std::uint32_t maxCount) {
    std::lock_guard lock(platform_->io);
    if (!platform_->fd) {
        return 0;
    }
    int queued = 0;
    if (::ioctl(platform_->fd.Get(), FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    const std::uint32_t n = std::min(maxCount, static_cast<std::uint32_t>(queued));
    if (n == 0) {
        return 0;
    }
    const ssize_t got = ::read(platform_->fd.Get(), buffer, n);
    return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

SerialHandle CSerial::Handle() const {
    std::lock_guard lock(platform_->io);
    return platform_->fd.Get();
}

void CSerial::PostToWindow(std::uint32_t /*code*/) {
    // There are no windows to post to on Linux; a notification window is never set here.
}

void CSerial::PurgeReceive() {
    std::lock_guard lock(platform_->io);
    if (platform_->fd) {
        (void)::tcflush(platform_->fd.Get(), TCIFLUSH);
    }
}

std::uint32_t CSerial::ModemStatus() {
    std::lock_guard lock(platform_->io);
    int lines = 0;
    if (!platform_->fd || ::ioctl(platform_->fd.Get(), TIOCMGET, &lines) != 0) {
        return 0;
    }
    std::uint32_t status = 0;
    status |= (lines & TIOCM_CTS) != 0 ? kMsCtsOn : 0;
    status |= (lines & TIOCM_DSR) != 0 ? kMsDsrOn : 0;
    status |= (lines & TIOCM_RNG) != 0 ? kMsRingOn : 0;
    status |= (lines & TIOCM_CAR) != 0 ? kMsRlsdOn : 0;
    return status;
}

void CSerial::EventLoop() {
    Platform& p = *platform_;
    int queuedAfterReceive = 0;
    bool hungUp = false;
    std::uint32_t lastLines = p.modemLines ? ModemStatus() : 0;

    auto queued = [&p]() {
        std::lock_guard lock(p.io);
        int n = 0;
        if (!p.fd || ::ioctl(p.fd.Get(), FIONREAD, &n) != 0) {
            return 0;
        }
        return n;
    };

    while (open_.load()) {
        int fd = -1;
        {
            std::lock_guard lock(p.io);
            fd = p.fd.Get();
        }
        // Watch for input only while nothing is left over from the last receive event;
        // otherwise poll() would report the leftovers again and again.
        const bool watchInput = queuedAfterReceive == 0 && !hungUp;
        pollfd fds[2] = {{p.wake[0].Get(), POLLIN, 0}, {watchInput ? fd : -1, POLLIN, 0}};
        int timeout = -1;
        if (p.modemLines)
            timeout = kModemPollMs;
        if (queuedAfterReceive > 0)
            timeout = kStalledPollMs;
        if (hungUp)
            timeout = kHangupPollMs;
        if (p.txPending.load())
            timeout = kDrainPollMs;
        const int ready = ::poll(fds, 2, timeout);
        if (!open_.load()) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            hungUp = true;
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(p.wake[0].Get(), drain, sizeof drain) > 0) {
            }
        }
        std::uint32_t events = 0;
        if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            // The other end of a pseudo-terminal went away; look again now and then.
            hungUp = true;
        } else if ((fds[1].revents & POLLIN) != 0) {
            hungUp = false;
            events |= kEvRxChar;
        }
        if (queuedAfterReceive > 0 || hungUp) {
            const int now = queued();
            if (now > queuedAfterReceive) {
                events |= kEvRxChar;
                hungUp = false;
            } else {
                queuedAfterReceive = now;  // someone else read them
            }
        }
        if (p.txPending.load()) {
            std::lock_guard lock(p.io);
            int pending = 0;
            if (!p.fd || ::ioctl(p.fd.Get(), TIOCOUTQ, &pending) != 0 || pending == 0) {
                p.txPending.store(false);
                events |= kEvTxEmpty;
            }
        }
        if (p.modemLines) {
            const std::uint32_t lines = ModemStatus();
            const std::uint32_t changed = lines ^ lastLines;
            lastLines = lines;
            events |= (changed & kMsCtsOn) != 0 ? kEvCts : 0;
            events |= (changed & kMsDsrOn) != 0 ? kEvDsr : 0;
            events |= (changed & kMsRingOn) != 0 ? kEvRing : 0;
            events |= (changed & kMsRlsdOn) != 0 ? kEvRlsd : 0;
        }
        if (events == 0) {
            continue;
        }
        Dispatch(events);
        if ((events & kEvRxChar) != 0) {
            queuedAfterReceive = queued();
        }
    }
    OnClose();
}

void ClearSoftwareFlowControl(CSerial& /*port*/) {}

}  // namespace orva::terminal
