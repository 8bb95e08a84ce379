// orva-serial-sim: a simulated serial KVK terminal on a pseudo-terminal.
//
//   orva-serial-sim --cards FILE --link PATH [--trace FILE] [--chunk N] [--fault NAME]
//
// It opens a pseudo-terminal, makes PATH a symbolic link to its slave side (point ORVA_COMn
// at PATH) and answers the blocks the host sends on the master side, as serial_terminal.h
// describes, paced at the line speed: 11 bits per byte at 9600 baud for the block received and
// for the answer. A terminal that receives a new block before it has started to answer the
// previous one answers only the new one. --fault names one misbehaviour:
//   split    answers arrive in pieces;
//   surplus  a stray byte follows the answer to the first SELECT;
//   drop     the answer to the first R-block is lost;
//   pin      the first READ BINARY answers 69 00.
// --trace writes one line per block: "> " received, "< " sent, "- " built but lost.
// SIGTERM or SIGINT end it and remove the link.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "card_image.h"
#include "serial_terminal.h"

namespace {

using Clock = std::chrono::steady_clock;
using orva::serialsim::Bytes;

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}

constexpr double kMicrosPerByte = 11.0 * 1'000'000.0 / 9600.0;

Clock::duration WireTime(std::size_t bytes) {
    return std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(bytes) * kMicrosPerByte));
}

std::string HexLine(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        out += (i == 0 ? "" : " ");
        out += buf;
    }
    return out;
}

int Usage() {
    std::cerr << "usage: orva-serial-sim --cards FILE --link PATH [--trace FILE] [--chunk N] "
                 "[--fault split|surplus|drop|pin]\n";
    return 2;
}

struct PendingAnswer {
    std::deque<Bytes> pieces;
    Clock::time_point due;
    bool started = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::string cardsFile, linkPath, traceFile;
    unsigned chunk = 32;
    auto fault = orva::serialsim::Fault::None;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return Usage();
        }
        const std::string value = argv[++i];
        if (arg == "--cards") {
            cardsFile = value;
        } else if (arg == "--link") {
            linkPath = value;
        } else if (arg == "--trace") {
            traceFile = value;
        } else if (arg == "--chunk") {
            const long n = std::strtol(value.c_str(), nullptr, 10);
            if (n < 1 || n > 255) {
                std::cerr << "orva-serial-sim: --chunk must be 1 to 255\n";
                return 2;
            }
            chunk = static_cast<unsigned>(n);
        } else if (arg == "--fault") {
            const auto parsed = orva::serialsim::ParseFault(value);
            if (!parsed) {
                return Usage();
            }
            fault = *parsed;
        } else {
            return Usage();
        }
    }
    if (cardsFile.empty() || linkPath.empty()) {
        return Usage();
    }
    std::string error;
    auto cards = orva::sim::LoadCardImage(cardsFile, error);
    if (!cards) {
        std::cerr << "orva-serial-sim: " << error << "\n";
        return 2;
    }

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("orva-serial-sim: pseudo-terminal");
        return 1;
    }
    const std::string slaveName = ::ptsname(master);
    // Holding the slave open keeps the master readable between the host's opens, and makes
    // the line raw before the host opens it.
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (slave >= 0 && ::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= PARENB;
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    std::error_code ec;
    if (std::filesystem::is_symlink(linkPath, ec)) {
        std::filesystem::remove(linkPath, ec);
    }
    if (::symlink(slaveName.c_str(), linkPath.c_str()) != 0) {
        std::perror("orva-serial-sim: link");
        return 1;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    std::ofstream trace;
    if (!traceFile.empty()) {
        trace.open(traceFile, std::ios::out | std::ios::trunc);
    }
    auto Trace = [&trace](const char* prefix, const Bytes& block) {
        if (trace.is_open()) {
            trace << prefix << HexLine(block) << std::endl;
        }
    };
    std::cout << slaveName << std::endl;

    orva::serialsim::SerialTerminal terminal(std::move(*cards), chunk, fault);
    Bytes input;
    PendingAnswer pending;
    Bytes pendingWhole;
    bool pendingSurplus = false;

    while (gStop == 0) {
        int timeout = 100;
        if (!pending.pieces.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(pending.due - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd fd{master, POLLIN, 0};
        const int ready = ::poll(&fd, 1, timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (fd.revents & POLLIN) != 0) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                input.insert(input.end(), buf, buf + n);
            }
        }
        // Take complete blocks, unless an answer is already on its way.
        while (!pending.started && input.size() >= 4 && input.size() >= input[2] + 4u) {
            const Bytes block(input.begin(), input.begin() + input[2] + 4);
            input.erase(input.begin(), input.begin() + input[2] + 4);
            Trace("> ", block);
            if (!pending.pieces.empty()) {
                Trace("- ", pendingWhole);  // superseded by the new block
                pending = PendingAnswer{};
            }
            const auto answer = terminal.OnBlock(block);
            if (answer.block.empty()) {
                continue;
            }
            if (answer.lost) {
                Trace("- ", answer.block);
                continue;
            }
            pendingWhole = answer.block;
            pendingSurplus = answer.surplus;
            Bytes whole = answer.block;
            if (answer.surplus) {
                whole.push_back(0xFF);
            }
            if (fault == orva::serialsim::Fault::Split && whole.size() > 3) {
                pending.pieces.emplace_back(whole.begin(), whole.begin() + 1);
                pending.pieces.emplace_back(whole.begin() + 1, whole.begin() + 3);
                pending.pieces.emplace_back(whole.begin() + 3, whole.end());
            } else {
                pending.pieces.push_back(whole);
            }
            pending.due =
                Clock::now() + WireTime(block.size()) + WireTime(pending.pieces.front().size());
        }
        if (!pending.pieces.empty() && Clock::now() >= pending.due) {
            const Bytes piece = std::move(pending.pieces.front());
            pending.pieces.pop_front();
            pending.started = true;
            std::size_t done = 0;
            while (done < piece.size()) {
                const ssize_t n = ::write(master, piece.data() + done, piece.size() - done);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                } else if (errno != EINTR && errno != EAGAIN) {
                    break;
                }
            }
            if (pending.pieces.empty()) {
                Trace("< ", pendingWhole);
                if (pendingSurplus) {
                    Trace("< ", Bytes{0xFF});
                }
                pending = PendingAnswer{};
            } else {
                pending.due = Clock::now() + WireTime(pending.pieces.front().size());
            }
        }
    }
    std::filesystem::remove(linkPath, ec);
    if (slave >= 0) {
        ::close(slave);
    }
    ::close(master);
    return 0;
}
