// CSerial on Windows, under Wine. Opening a port that does not exist must fail cleanly. When
// wine_pty_test.sh has mapped two COM ports to the two ends of a pseudo-terminal pair (names in
// ORVA_TEST_COM_A and ORVA_TEST_COM_B), bytes written to one are read from the other.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "terminal/serial_port.h"

namespace orva::terminal {
namespace {

using namespace std::chrono_literals;

struct Events {
    std::atomic<int> open{0}, close{0}, receive{0};
};
void CountOpen(void* data) {
    ++static_cast<Events*>(data)->open;
}
void CountClose(void* data) {
    ++static_cast<Events*>(data)->close;
}
void CountReceive(void* data) {
    ++static_cast<Events*>(data)->receive;
}

void Connect(CSerial& port, Events& events) {
    port.SetUserData(&events);
    port.SetCallback(SerialHandler::Open, &CountOpen);
    port.SetCallback(SerialHandler::Close, &CountClose);
    port.SetCallback(SerialHandler::Receive, &CountReceive);
}

template <typename Condition>
bool WaitFor(Condition condition) {
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(SerialPortWinTest, MissingPortFailsWithoutThreadOrHandler) {
    for (const char* name : {"COM199", "\\\\.\\NOSUCHPORT"}) {
        SCOPED_TRACE(name);
        Events events;
        CSerial port;
        Connect(port, events);
        EXPECT_FALSE(port.Open(name, 9600, 2, 0));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(port.Close());
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(events.open.load(), 0);
        EXPECT_EQ(events.close.load(), 0) << "no event thread may run";
    }
}

TEST(SerialPortWinTest, WriteAndReadOverAPseudoTerminalPair) {
    const char* nameA = std::getenv("ORVA_TEST_COM_A");
    const char* nameB = std::getenv("ORVA_TEST_COM_B");
    if (nameA == nullptr || nameB == nullptr) {
        GTEST_SKIP() << "no COM ports mapped to a pseudo-terminal (see wine_pty_test.sh)";
    }
    Events eventsA, eventsB;
    {
        CSerial a, b;
        Connect(a, eventsA);
        Connect(b, eventsB);
        ASSERT_TRUE(a.Open(nameA, 9600, 2, 0));
        ASSERT_TRUE(b.Open(nameB, 9600, 2, 0));
        ClearSoftwareFlowControl(a);
        ClearSoftwareFlowControl(b);
        EXPECT_EQ(eventsA.open.load(), 1);

        const std::vector<std::uint8_t> block = {0x12, 0xC0, 0x00, 0xD2};
        EXPECT_TRUE(a.Write(block.data(), static_cast<std::uint32_t>(block.size())));
        EXPECT_TRUE(WaitFor([&] { return eventsB.receive.load() >= 1; })) << "no receive event";

        // Only what is queued is read; the rest stays for the next read.
        std::vector<std::uint8_t> got(3);
        ASSERT_TRUE(WaitFor([&] { return b.Read(got.data(), 0) == 0; }));
        std::uint32_t n = 0;
        ASSERT_TRUE(WaitFor([&] {
            n = b.Read(got.data(), 3);
            return n > 0;
        }));
        EXPECT_EQ(n, 3u);
        got.resize(n);
        std::uint8_t last = 0;
        EXPECT_EQ(b.Read(&last, 1), 1u);
        got.push_back(last);
        EXPECT_EQ(test::ToHex(got), "12 C0 00 D2");
        std::uint8_t none[4];
        EXPECT_EQ(b.Read(none, sizeof none), 0u);

        const std::vector<std::uint8_t> answer = {0x21, 0xE0, 0x02, 0x90, 0x00, 0x53};
        EXPECT_TRUE(b.Write(answer.data(), static_cast<std::uint32_t>(answer.size())));
        std::vector<std::uint8_t> back;
        EXPECT_TRUE(WaitFor([&] {
            std::uint8_t buffer[16];
            const std::uint32_t k = a.Read(buffer, sizeof buffer);
            back.insert(back.end(), buffer, buffer + k);
            return back.size() >= answer.size();
        }));
        EXPECT_EQ(test::ToHex(back), test::ToHex(answer));

        EXPECT_TRUE(a.Close());
        EXPECT_TRUE(a.Close());
        EXPECT_TRUE(WaitFor([&] { return eventsA.close.load() == 1; }));
        const std::uint8_t byte = 0x55;
        EXPECT_FALSE(a.Write(&byte, 1)) << "a closed port takes no writes";
    }
    EXPECT_EQ(eventsA.close.load(), 1);
    EXPECT_EQ(eventsB.close.load(), 1);
}

// Without callbacks the handlers post their codes to the notification window, with the
// object's address as LPARAM.
TEST(SerialPortWinTest, NotificationsArePostedToTheWindow) {
    const char* nameA = std::getenv("ORVA_TEST_COM_A");
    const char* nameB = std::getenv("ORVA_TEST_COM_B");
    if (nameA == nullptr || nameB == nullptr) {
        GTEST_SKIP() << "no COM ports mapped to a pseudo-terminal (see wine_pty_test.sh)";
    }
    HWND window = CreateWindowExA(0, "STATIC", "serial notifications", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    std::vector<UINT> codes;
    std::vector<LPARAM> params;
    auto pump = [&](UINT until) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            MSG msg;
            while (PeekMessageA(&msg, window, 0x500, 0x510, PM_REMOVE)) {
                codes.push_back(msg.message);
                params.push_back(msg.lParam);
                if (msg.message == until)
                    return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    };
    {
        CSerial a, b;
        a.SetNotifyWindow(window);
        ASSERT_TRUE(a.Open(nameA, 9600, 2, 0));
        ASSERT_TRUE(b.Open(nameB, 9600, 2, 0));
        EXPECT_TRUE(pump(0x501));
        const std::uint8_t byte = 0x42;
        EXPECT_TRUE(b.Write(&byte, 1));
        EXPECT_TRUE(pump(0x503)) << "no receive notification";
        a.Close();
        EXPECT_TRUE(pump(0x502)) << "no close notification";
        for (const LPARAM param : params) {
            EXPECT_EQ(param, reinterpret_cast<LPARAM>(&a));
        }
    }
    DestroyWindow(window);
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes.front(), 0x501u);
    EXPECT_EQ(codes.back(), 0x502u);
}

}  // namespace
}  // namespace orva::terminal
