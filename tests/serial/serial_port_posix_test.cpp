// CSerial on Linux, over a pseudo-terminal: the test holds the master side and plays the
// terminal; the port under test opens the slave side through ORVA_COMn.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "terminal/serial_port.h"

namespace orva::terminal {
namespace {

using namespace std::chrono_literals;

// Waits until the condition holds, at most two seconds.
template <typename Condition>
bool WaitFor(Condition condition) {
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct Events {
    std::atomic<int> open{0}, close{0}, receive{0}, transmitEmpty{0};
    std::atomic<int> openBeforeThread{0};
    CSerial* port = nullptr;
    std::atomic<int> readOnReceive{-1};  // bytes the receive callback reads, -1: none
    std::vector<std::uint8_t> received;  // only touched by the event thread until it ends
};

void CountOpen(void* data) {
    ++static_cast<Events*>(data)->open;
}
void CountClose(void* data) {
    ++static_cast<Events*>(data)->close;
}
void CountTransmitEmpty(void* data) {
    ++static_cast<Events*>(data)->transmitEmpty;
}
void ReadOnReceive(void* data) {
    auto* events = static_cast<Events*>(data);
    ++events->receive;
    const int n = events->readOnReceive.load();
    if (n > 0) {
        std::uint8_t buffer[64];
        const std::uint32_t got = events->port->Read(buffer, static_cast<std::uint32_t>(n));
        events->received.insert(events->received.end(), buffer, buffer + got);
    }
}

class SerialPortPosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        slaveName = ::ptsname(master);
        ::setenv("ORVA_COM7", slaveName.c_str(), 1);
        events.port = &port;
        port.SetUserData(&events);
    }
    void TearDown() override {
        port.Close();
        ::unsetenv("ORVA_COM7");
        ::close(master);
    }

    void Connect() {
        port.SetCallback(SerialHandler::Open, &CountOpen);
        port.SetCallback(SerialHandler::Close, &CountClose);
        port.SetCallback(SerialHandler::Receive, &ReadOnReceive);
        port.SetCallback(SerialHandler::TransmitEmpty, &CountTransmitEmpty);
    }

    void SendFromTerminal(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<std::uint8_t> ReceiveAtTerminal(std::size_t count) {
        std::vector<std::uint8_t> bytes;
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (bytes.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 50) > 0) {
                std::uint8_t buffer[64];
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n > 0)
                    bytes.insert(bytes.end(), buffer, buffer + n);
            }
        }
        return bytes;
    }

    int master = -1;
    std::string slaveName;
    Events events;
    CSerial port;
};

TEST(SerialDevicePathTest, MapsComNamesToDevices) {
    ::unsetenv("ORVA_COM1");
    ::setenv("ORVA_COM12", "/dev/ttyUSB3", 1);
    struct Case {
        const char* name;
        const char* device;
    } const cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"com4", "/dev/ttyS3"},
        {"COM12", "/dev/ttyUSB3"},
        {"/dev/ttyACM0", "/dev/ttyACM0"},
        {"COM", "COM"},
        {"COMX", "COMX"},
        {"COM0", "COM0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialDevicePath(c.name), c.device) << c.name;
    }
    ::unsetenv("ORVA_COM12");
}

TEST_F(SerialPortPosixTest, MissingPortFailsWithoutThreadOrHandler) {
    Connect();
    ::setenv("ORVA_COM7", "/nonexistent/tty", 1);
    EXPECT_FALSE(port.Open("COM7", 9600, 2, 0));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_TRUE(port.Close());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(events.open.load(), 0);
    EXPECT_EQ(events.close.load(), 0);
}

TEST_F(SerialPortPosixTest, OpenSetsTheLineAndClosesOnce) {
    Connect();
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    EXPECT_EQ(events.open.load(), 1);
    EXPECT_EQ(port.PortName(), "COM7");
    EXPECT_EQ(port.BaudRate(), 9600u);

    termios tio{};
    ASSERT_EQ(::tcgetattr(port.Handle(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    // A pseudo-terminal forces 8 bits without parity, so even parity cannot be seen here.
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(WaitFor([&] { return events.close.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(events.close.load(), 1);
    EXPECT_EQ(port.Handle(), -1);
}

TEST_F(SerialPortPosixTest, ReadTakesOnlyWhatHasArrived) {
    Connect();
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    std::uint8_t buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);

    events.readOnReceive = 3;
    SendFromTerminal({0x21, 0x00, 0x02, 0x90, 0x00});
    ASSERT_TRUE(WaitFor([&] { return events.receive.load() >= 1; }));
    // The handler took three; the other two wait until someone reads them.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 2u);
    EXPECT_EQ(buffer[0], 0x90);
    port.Close();
    ASSERT_TRUE(WaitFor([&] { return events.close.load() == 1; }));
    EXPECT_EQ(test::ToHex(events.received), "21 00 02");
}

TEST_F(SerialPortPosixTest, BytesArrivingLaterReportAgain) {
    Connect();
    events.readOnReceive = 64;
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    SendFromTerminal({0x01, 0x02});
    ASSERT_TRUE(WaitFor([&] { return events.receive.load() >= 1; }));
    SendFromTerminal({0x03});
    ASSERT_TRUE(WaitFor([&] { return events.receive.load() >= 2; }));
    port.Close();
    ASSERT_TRUE(WaitFor([&] { return events.close.load() == 1; }));
    EXPECT_EQ(test::ToHex(events.received), "01 02 03");
}

TEST_F(SerialPortPosixTest, WriteReachesTheTerminalAndReportsTransmitEmpty) {
    Connect();
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    const std::vector<std::uint8_t> block = {0x12, 0xC0, 0x00, 0xD2};
    EXPECT_TRUE(port.Write(block.data(), static_cast<std::uint32_t>(block.size())));
    EXPECT_EQ(test::ToHex(ReceiveAtTerminal(4)), "12 C0 00 D2");
    EXPECT_TRUE(WaitFor([&] { return events.transmitEmpty.load() >= 1; }));
}

TEST_F(SerialPortPosixTest, ReceiveWithoutCallbackDiscardsTheBytes) {
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    SendFromTerminal({0x01, 0x02, 0x03});
    std::uint8_t buffer[8];
    // The event thread throws the bytes away as soon as it sees them.
    EXPECT_TRUE(WaitFor([&] {
        int queued = 0;
        return ::ioctl(port.Handle(), FIONREAD, &queued) == 0 && queued == 0;
    }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

TEST_F(SerialPortPosixTest, WriteAfterCloseFails) {
    ASSERT_TRUE(port.Open("COM7", 9600, 2, 0));
    port.Close();
    const std::uint8_t byte = 0x55;
    EXPECT_FALSE(port.Write(&byte, 1));
    std::uint8_t buffer[4];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

}  // namespace
}  // namespace orva::terminal
