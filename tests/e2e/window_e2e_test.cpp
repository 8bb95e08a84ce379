// End-to-end tests of ORVA.exe: the real program, started with CreateProcess (its own TMP in the
// environment block), read back through Win32 the way a user or an integrator sees it: message
// boxes found, read and closed; the window's controls, fonts and tab order; ending a running
// instance; closing while a run waits for a card. Every wait is bounded and every process
// started here is ended.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <cstdio>
#include <algorithm>
#include <vector>

#include "app/window_ids.h"
#include "support/test_support.h"
#include "win_e2e_support.h"

namespace orva::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<std::uint8_t> kErrorRecord = {0x04, 'O', 'K', 'V', 'K', ' ', '0', '1', '-', 0x04};

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int n = MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n));
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    std::string text(wide.size() * 2, '\0');
    const int n = WideCharToMultiByte(1252, 0, wide.data(), static_cast<int>(wide.size()),
                                      text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Asks the window itself, bounded: a hung program fails the test instead of stopping it.
std::string WindowText(HWND hwnd) {
    wchar_t text[4096] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        2000, &result);
    return Narrow(text);
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

// One ORVA.exe process with its own TMP, ended when the object goes.
class Orva : public ChildProcess {
  public:
    Orva(const std::vector<std::string>& args, const fs::path& tmp,
         const std::map<std::wstring, std::wstring>& extraEnv = {})
        : ChildProcess(CommandLine(args), Environment(tmp, extraEnv)) {}

    // A top-level window of this process with the class (and, when given, the caption).
    HWND FindTopLevel(const std::wstring& cls, std::chrono::milliseconds timeout,
                      std::optional<std::string> caption = std::nullopt) const {
        HWND found = nullptr;
        WaitFor(
            [&] {
                for (HWND hwnd = FindWindowExW(nullptr, nullptr, cls.c_str(), nullptr);
                     hwnd != nullptr; hwnd = FindWindowExW(nullptr, hwnd, cls.c_str(), nullptr)) {
                    DWORD pid = 0;
                    GetWindowThreadProcessId(hwnd, &pid);
                    if (pid == Pid() && (!caption || WindowText(hwnd) == *caption)) {
                        found = hwnd;
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }
    // The main window once its controls exist (it is found as soon as it is created).
    HWND MainWindow(std::chrono::milliseconds timeout = 10s) const {
        HWND main = FindTopLevel(app::kMainWindowClass, timeout);
        if (main == nullptr ||
            !WaitFor([&] { return GetDlgItem(main, app::kIdNameFile) != nullptr; }, timeout)) {
            return nullptr;
        }
        return main;
    }

  private:
    static std::wstring CommandLine(const std::vector<std::string>& args) {
        std::wstring commandLine = QuotedProgram(L"ORVA.exe");
        for (const std::string& arg : args) {
            commandLine += L" " + Widen(arg);
        }
        return commandLine;
    }
    static std::map<std::wstring, std::wstring> Environment(
        const fs::path& tmp, std::map<std::wstring, std::wstring> env) {
        env[L"TMP"] = tmp.wstring();
        env[L"TEMP"] = tmp.wstring();
        return env;
    }
};

struct Box {
    std::string caption;
    std::string text;
    bool iconShown = false;
    bool topmost = false;  // system-modal boxes stay on top
    HWND owner = nullptr;
};

// Finds the message box of the process, reads it and presses OK.
std::optional<Box> TakeBox(const Orva& orva, std::chrono::milliseconds timeout = 10s) {
    HWND box = orva.FindTopLevel(L"#32770", timeout);
    // Found as soon as it is created: wait until it is filled and shown.
    if (box == nullptr || !WaitFor([&] { return IsWindowVisible(box) != FALSE; }, timeout)) {
        return std::nullopt;
    }
    Box read;
    read.caption = WindowText(box);
    read.text = WindowText(GetDlgItem(box, 0xFFFF));  // the static that holds the text
    // The static that holds the icon: 20 on Windows, 1088 under Wine.
    for (int id : {20, 1088}) {
        HWND icon = GetDlgItem(box, id);
        read.iconShown = read.iconShown || (icon != nullptr && IsWindowVisible(icon) &&
                                            SendMessageW(icon, STM_GETICON, 0, 0) != 0);
    }
    read.topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    read.owner = GetWindow(box, GW_OWNER);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return read;
}

// Waits until Status shows the prompt of REQUEST ICC: a run waits for a card.
::testing::AssertionResult WaitingForCard(HWND main) {
    HWND status = GetDlgItem(main, app::kIdStatus);
    if (WaitFor([&] { return WindowText(status) == "Versichertenkarte einstecken"; }, 15s)) {
        return ::testing::AssertionSuccess();
    }
    RECT outer{};
    GetWindowRect(main, &outer);
    return ::testing::AssertionFailure()
           << "Status \"" << WindowText(status) << "\", outer height " << outer.bottom - outer.top
           << ", visible " << IsWindowVisible(main);
}

class WindowE2eTest : public ::testing::Test {
  protected:
    test::TempFolder tmp{"orva-e2e"};
};

struct StartupFailure {
    const char* name;
    std::vector<std::string> args;
    std::string caption;
    std::string text;  // "<TMP>" stands for the temporary folder
    bool errorRecordToFile;
};

TEST_F(WindowE2eTest, EveryStartupFailureShowsItsBoxAndEnds) {
    const std::string usage =
        "ORVA <COMx> | <USB> | <LAN[x]> [-E | -U | --] [-F[file]] [-Lxx] [-D]\t\t\t\n"
        "\t-E\tEndlos\n\t-U\tUnsichtbar\n\t-F\tDatei schreiben\n\t-Lxx\tAPI-DLL verwenden\t\t\t\n"
        "\t-S\tDaten nicht an Client senden\n\t-D\tDebug\n\t--\tlaufendes ORVA.EXE beenden";
    const StartupFailure cases[] = {
        {"no port", {}, "vIvavod EVI Version 1.27", usage, false},
        {"invalid port", {"COMX", "-FOUT.TXT"}, "vIvavod EVI Version 1.27", usage, false},
        {"library missing", {"USB", "-LXY", "-FOUT.TXT"}, "Fehler", "ct_api_*XY.dll fehlen", false},
        {"library without CT_init", {"LAN1", "-LBAD"}, "Fehler", "ct_api_*.dll fehlerhaft", false},
        {"serial port cannot be opened",
         {"COM37", "-FOUT.TXT"},
         "Fehler",
         "Fehler beim \xD6"
         "ffnen von COM37.",
         true},
    };
    for (const StartupFailure& c : cases) {
        SCOPED_TRACE(c.name);
        Orva orva(c.args, tmp.Path());
        ASSERT_TRUE(orva.Started());
        const std::optional<Box> box = TakeBox(orva);
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->caption, c.caption);
        EXPECT_EQ(box->text, c.text);
        EXPECT_TRUE(box->iconShown);
        EXPECT_TRUE(orva.Ended(10s));
        // No run ever started: the main window was never shown.
        const fs::path out = tmp.Path() / "OUT.TXT";
        if (c.errorRecordToFile) {
            EXPECT_EQ(test::ReadFileBytes(out), kErrorRecord);
        } else {
            EXPECT_FALSE(fs::exists(out));
        }
        fs::remove(out);
    }
}

TEST_F(WindowE2eTest, ALockedStaleFileShowsTheSystemModalBox) {
    const fs::path pd = tmp.Path() / "PD.XML";
    test::WriteFileBytes(pd, {'<', '/', '>'});
    // Opened without delete sharing: the deletion fails with EACCES.
    HANDLE lock = CreateFileW(pd.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    {
        Orva orva({"USB", "-LNOC", "-FOUT.TXT"}, tmp.Path());
        const std::optional<Box> box = TakeBox(orva);
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->caption, "Fehler PD.XML l\xF6schen");
        EXPECT_EQ(box->text, "Fehler unlink(" + Narrow(tmp.Path().wstring()) + "\\PD.XML): 13");
        EXPECT_TRUE(box->topmost);
        EXPECT_EQ(box->owner, nullptr);
        EXPECT_TRUE(orva.Ended(10s));
        EXPECT_EQ(test::ReadFileBytes(tmp.Path() / "OUT.TXT"), kErrorRecord);
    }
    CloseHandle(lock);
}

// The window with -D: every control where it belongs, in its font, in tab order.
TEST_F(WindowE2eTest, FullWindowGeometryFontsAndTabOrder) {
    Orva orva({"USB", "-LNOC", "-D"}, tmp.Path());
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 5s));
    EXPECT_EQ(WindowText(main), "KVK / eGK");

    RECT client{};
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, 605);
    EXPECT_EQ(client.bottom, 786);
    RECT outer{};
    GetWindowRect(main, &outer);
    const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_NEAR((outer.left + outer.right) / 2, screenW / 2, 1);
    EXPECT_NEAR((outer.top + outer.bottom) / 2, screenH / 2, 1);

    struct Control {
        int id;
        const wchar_t* cls;
        int x, y, w, h;    // w or h 0: sized to the text, not checked
        const char* text;  // null: not checked
        const wchar_t* face;
        int fontHeight;
    };
    const Control controls[] = {
        {app::kIdButtonRead, L"Button", 8, 88, 105, 25, "KVK / eGK &lesen", L"MS Sans Serif", 11},
        {app::kIdButtonAbbruch, L"Button", 8, 48, 105, 25, "&Abbruch", L"MS Sans Serif", 11},
        {app::kIdHexlist, L"ListBox", 8, 128, 577, 257, nullptr, L"Courier New", 11},
        {app::kIdMemo, L"Edit", 8, 392, 577, 0, "", L"MS Sans Serif", 11},
        {app::kIdDelRecord, L"Button", 136, 96, 65, 17, "L\xF6schen", L"MS Sans Serif", 11},
        {app::kIdStatus, L"Static", 13, 8, 0, 25, nullptr, L"MS Sans Serif", 21},
        {app::kIdVersion, L"Static", 130, 45, 0, 0, "vIvavod EVI Version 1.27", L"MS Sans Serif",
         8},
        {app::kIdParameter, L"Static", 130, 60, 0, 0, nullptr, L"MS Sans Serif", 11},
        {app::kIdNameFile, L"Static", 130, 79, 0, 0, "nameFile", L"MS Sans Serif", 11},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.id);
        HWND control = GetDlgItem(main, c.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(_wcsicmp(ClassOf(control).c_str(), c.cls), 0);
        EXPECT_TRUE(IsWindowVisible(control));
        RECT r{};
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, c.x);
        EXPECT_EQ(r.top, c.y);
        if (c.w > 0) {
            EXPECT_EQ(r.right - r.left, c.w);
        }
        if (c.h > 0) {
            EXPECT_EQ(r.bottom - r.top, c.h);
        }
        if (c.text != nullptr) {
            EXPECT_EQ(WindowText(control), c.text);
        }
        // Font handles do not cross processes: a label sized to its text shows the font in
        // effect through its size, measured here with the same face and height.
        if (c.w == 0 && c.text != nullptr) {
            HFONT font = CreateFontW(-c.fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, c.face);
            HDC dc = GetDC(nullptr);
            HGDIOBJ old = SelectObject(dc, font);
            const std::wstring text = Widen(c.text);
            SIZE size{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
            TEXTMETRICW metrics{};
            GetTextMetricsW(dc, &metrics);
            SelectObject(dc, old);
            ReleaseDC(nullptr, dc);
            DeleteObject(font);
            EXPECT_EQ(r.right - r.left, size.cx);
            EXPECT_EQ(r.bottom - r.top, metrics.tmHeight);
        }
    }
    EXPECT_EQ(SendMessageW(GetDlgItem(main, app::kIdHexlist), LB_GETITEMHEIGHT, 0, 0), 14);
    EXPECT_EQ(WindowText(GetDlgItem(main, app::kIdParameter)),
              Narrow((ProgramFolder() / "ORVA.exe").wstring()) + " USB -LNOC -D ");
    EXPECT_EQ(SendMessageW(GetDlgItem(main, app::kIdHexlist), LB_GETCOUNT, 0, 0), 1);  // "Port=USB"

    // Tab order: ButtonRead, ButtonAbbruch, Hexlist, Memo, delRecord.
    std::vector<int> order;
    HWND item = GetDlgItem(main, app::kIdButtonRead);
    for (int i = 0; i < 5; ++i) {
        order.push_back(GetDlgCtrlID(item));
        item = GetNextDlgTabItem(main, item, FALSE);
    }
    EXPECT_EQ(order, (std::vector<int>{app::kIdButtonRead, app::kIdButtonAbbruch, app::kIdHexlist,
                                       app::kIdMemo, app::kIdDelRecord}));
    EXPECT_EQ(GetDlgCtrlID(item), app::kIdButtonRead);

    // Memo follows the outer height (393 high in a window of 824 outer pixels).
    RECT memoRect{};
    GetWindowRect(GetDlgItem(main, app::kIdMemo), &memoRect);
    EXPECT_EQ(memoRect.bottom - memoRect.top, (outer.bottom - outer.top) - 431);

    // Resizing to 600 pixels of outer height gives Memo 169.
    SetWindowPos(main, nullptr, 0, 0, outer.right - outer.left, 600, SWP_NOMOVE | SWP_NOZORDER);
    RECT memo{};
    EXPECT_TRUE(WaitFor(
        [&] {
            GetWindowRect(GetDlgItem(main, app::kIdMemo), &memo);
            return memo.bottom - memo.top == 169;
        },
        3s));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(orva.Ended(10s));
}

// Normal mode: the compact view, the reader thread waiting for a card; closing ends the run
// (CT_close, then the end) and the process.
TEST_F(WindowE2eTest, CompactViewWhileWaitingForACardAndCloseDuringTheRun) {
    Orva orva({"USB", "-LNOC", "-E"}, tmp.Path());
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitingForCard(main));
    RECT outer{};
    GetWindowRect(main, &outer);
    EXPECT_EQ(outer.bottom - outer.top, 120);
    for (int hidden : {app::kIdMemo, app::kIdHexlist, app::kIdButtonRead, app::kIdDelRecord}) {
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(main, hidden))) << hidden;
    }
    for (int shown : {app::kIdStatus, app::kIdButtonAbbruch, app::kIdVersion, app::kIdParameter,
                      app::kIdNameFile}) {
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(main, shown))) << shown;
    }
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(orva.Ended(10s));
}

TEST_F(WindowE2eTest, AbortWhileWaitingDeliversTheErrorRecordAndEnds) {
    Orva orva({"USB", "-LNOC", "-E", "-FOUT.TXT"}, tmp.Path());
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitingForCard(main));
    SendMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
    EXPECT_TRUE(orva.Ended(10s));
    EXPECT_EQ(test::ReadFileBytes(tmp.Path() / "OUT.TXT"), kErrorRecord);
}

TEST_F(WindowE2eTest, SecondInstanceWithDoubleDashClosesTheFirst) {
    Orva first({"USB", "-LNOC", "-D"}, tmp.Path());
    ASSERT_NE(first.MainWindow(), nullptr);
    Orva second({"--"}, tmp.Path());
    EXPECT_TRUE(second.Ended(10s));
    EXPECT_TRUE(first.Ended(10s));
}

TEST_F(WindowE2eTest, InvisibleModeShowsNothing) {
    // The start-up run of -U waits for a card on the GUI thread; the window stays hidden.
    Orva orva({"USB", "-LNOC", "-U", "-FOUT.TXT"}, tmp.Path());
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(IsWindowVisible(main));
    EXPECT_FALSE(orva.Ended(0ms));
}

// Whether the window handles messages (Windows marks it "Keine Rückmeldung" otherwise).
bool Answers(HWND main) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

// The start-up run of -U waits for a card on the GUI thread: a second start with -- still ends it.
TEST_F(WindowE2eTest, InvisibleStartupRunWaitingForACardEndsOnDoubleDash) {
    Orva orva({"USB", "-LNOC", "-U", "-FOUT.TXT"}, tmp.Path());
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitingForCard(main));
    EXPECT_TRUE(Answers(main));
    Orva second({"--"}, tmp.Path());
    EXPECT_TRUE(second.Ended(10s));
    EXPECT_TRUE(orva.Ended(10s));
    EXPECT_EQ(orva.ExitCode(), 0u);
}

// A -D run started with ButtonRead waits for a card on the GUI thread: the window answers, and
// "Abbruch" or the close box end it as they end a run of the reader thread.
TEST_F(WindowE2eTest, DebugRunWaitingForACardEndsOnAbbruchOrTheCloseBox) {
    for (const bool abbruch : {true, false}) {
        SCOPED_TRACE(abbruch ? "Abbruch" : "close box");
        const fs::path out = tmp.Path() / "OUT.TXT";
        fs::remove(out);
        Orva orva({"USB", "-LNOC", "-D", "-FOUT.TXT"}, tmp.Path());
        HWND main = orva.MainWindow();
        ASSERT_NE(main, nullptr);
        PostMessageW(GetDlgItem(main, app::kIdButtonRead), BM_CLICK, 0, 0);
        ASSERT_TRUE(WaitingForCard(main));
        EXPECT_TRUE(Answers(main));
        if (abbruch) {
            PostMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
        } else {
            PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        EXPECT_TRUE(orva.Ended(10s));
        EXPECT_EQ(orva.ExitCode(), 0u);
        if (abbruch) {
            EXPECT_EQ(test::ReadFileBytes(out), kErrorRecord);
        }
    }
}

// ---- Whole reads: the simulated terminal, the real GZIP.exe and the running reference client.

// The [card] sections of a fixture, with the files they name (@file) taken from the fixtures'
// folder.
std::string CardSections(const char* fixture) {
    std::string text = ReadText(CardsDir() / fixture);
    text = text.substr(text.find("[card]"));
    const std::string folder = Narrow(WinePath(CardsDir())) + "\\";
    for (std::size_t at = text.find("= @"); at != std::string::npos;
         at = text.find("= @", at + 3)) {
        text.insert(at + 3, folder);
    }
    return text;
}

// The reference client, receiving into its own folder.
class Client {
  public:
    explicit Client(const fs::path& out, unsigned delayMs = 0)
        : out_(Created(out)), process_(CommandLine(out, delayMs)) {
        ready_ = process_.Started() && WaitFor([&] { return fs::exists(out / "ready"); }, 15s);
    }

    bool Ready() const { return ready_; }
    std::vector<std::string> Records() const {
        std::vector<std::string> records;
        for (int i = 1;; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "record-%04d.bin", i);
            if (!fs::exists(out_ / name)) {
                return records;
            }
            // The client writes each file with exclusive access: one that cannot be opened yet
            // is still being written and does not count.
            try {
                records.push_back(ReadText(out_ / name));
            } catch (const std::exception&) {
                return records;
            }
        }
    }

  private:
    static fs::path Created(const fs::path& folder) {
        fs::create_directories(folder);
        return folder;
    }
    static std::wstring CommandLine(const fs::path& out, unsigned delayMs) {
        std::wstring commandLine =
            QuotedProgram(L"OrvaClient.exe") + L" --out \"" + out.wstring() + L"\"";
        if (delayMs > 0) {
            commandLine += L" --delay " + std::to_wstring(delayMs);
        }
        return commandLine;
    }

    fs::path out_;
    ChildProcess process_;
    bool ready_ = false;
};

class ReadE2eTest : public WindowE2eTest {
  protected:
    void SetUp() override { ASSERT_TRUE(client.Ready()); }
    std::map<std::wstring, std::wstring> Sim(const fs::path& image) const {
        return {{L"ORVA_SIM_CARDS", WinePath(image)},
                {L"ORVA_SIM_TRACE", (tmp.Path() / "trace.txt").wstring()}};
    }
    fs::path Image(const std::string& text) const {
        const fs::path image = tmp.Path() / "cards.ini";
        test::WriteFileBytes(image, std::vector<std::uint8_t>(text.begin(), text.end()));
        return image;
    }
    int Traced(const std::string& text) const {
        const fs::path path = tmp.Path() / "trace.txt";
        const std::string trace = fs::exists(path) ? ReadText(path) : std::string();
        int n = 0;
        for (std::size_t p = trace.find(text); p != std::string::npos;
             p = trace.find(text, p + 1)) {
            ++n;
        }
        return n;
    }
    bool ClientHas(std::size_t count, std::chrono::milliseconds timeout = 30s) const {
        return WaitFor([&] { return client.Records().size() >= count; }, timeout);
    }

    Client client{tmp.Path() / "client"};
};

TEST_F(ReadE2eTest, OneReadReachesTheClientAndTheProgramClosesByItself) {
    struct Case {
        const char* fixture;
        std::vector<std::string> expected;  // texts the record holds
    };
    const Case cases[] = {
        {"egk.ini",
         {"PD>", "VD>", "ST>",
          "Br\xFC"
          "ckner"}},
        {"kvk.ini", {"Br}ckner"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::size_t before = client.Records().size();
        fs::remove(tmp.Path() / "trace.txt");
        {
            Orva orva({"USB", "-LSIM"}, tmp.Path(), Sim(CardsDir() / c.fixture));
            ASSERT_TRUE(orva.Ended(60s));
        }
        ASSERT_TRUE(ClientHas(before + 1));
        const std::vector<std::string> records = client.Records();
        ASSERT_EQ(records.size(), before + 1);
        const std::string& record = records.back();
        EXPECT_EQ(record.substr(0, 8), "\x04OKVK 01");
        EXPECT_EQ(record.back(), '\x04');
        for (const std::string& text : c.expected) {
            EXPECT_NE(record.find(text), std::string::npos) << text;
        }
        EXPECT_EQ(Traced("CT_init"), 1);  // exactly one run

        // The same card with -F: the file holds the very bytes the client received.
        const fs::path out = tmp.Path() / "OUT.TXT";
        {
            Orva orva({"USB", "-LSIM", "-F" + Narrow(out.wstring())}, tmp.Path(),
                      Sim(CardsDir() / c.fixture));
            ASSERT_TRUE(orva.Ended(60s));
        }
        EXPECT_EQ(ReadText(out), record);
        EXPECT_EQ(client.Records().size(), before + 1);  // nothing to the client with -F
    }
}

TEST_F(ReadE2eTest, EndlessReadsThreeCardsInOrderUntilAbbruch) {
    const fs::path image = Image("[terminal]\ninit = 0\n" + CardSections("kvk.ini") + "\n" +
                                 CardSections("kvk_long.ini") + "\n" + CardSections("kvk.ini"));
    Orva orva({"USB", "-LSIM", "-E"}, tmp.Path(), Sim(image));
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(ClientHas(3, 60s));
    ASSERT_TRUE(WaitingForCard(main));
    PostMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
    EXPECT_TRUE(orva.Ended(15s));
    const std::vector<std::string> records = client.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_NE(records[0].find("Br}ckner"), std::string::npos);
    EXPECT_NE(records[1].find("Hans-Joachim"), std::string::npos);
    EXPECT_NE(records[2].find("Br}ckner"), std::string::npos);
    EXPECT_EQ(records[3], std::string(kErrorRecord.begin(), kErrorRecord.end()));
}

// A memory card read after an eGK gets a record of its own bytes: a blank card (erased memory,
// all FF) takes the KVK rules, not the eGK files the card before it left in the folder.
TEST_F(ReadE2eTest, BlankCardAfterAnEgkReachesTheClientAsAKvkRecord) {
    std::string blank = "[card]\nkind = kvk\ndata =";
    for (int i = 0; i < 256; ++i) blank += " FF";
    const fs::path image =
        Image("[terminal]\ninit = 0\n" + CardSections("egk.ini") + "\n" + blank + "\n");
    Orva orva({"USB", "-LSIM", "-E"}, tmp.Path(), Sim(image));
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(ClientHas(2, 60s));
    ASSERT_TRUE(WaitingForCard(main));
    PostMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
    EXPECT_TRUE(orva.Ended(15s));
    const std::vector<std::string> records = client.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_NE(records[0].find("PD>"), std::string::npos);
    // 226 FF bytes behind offset 30 and 62 82: 218 kept, byte 218 as hex; FF becomes 1F.
    EXPECT_EQ(records[1], "\x04OKVK 01" + std::string(218, '\x1F') + "FF\x04");
    EXPECT_EQ(records[2], std::string(kErrorRecord.begin(), kErrorRecord.end()));
}

TEST_F(ReadE2eTest, DebugModeReadsOnTheButtonAndDelRecordDecidesTheErase) {
    const fs::path image =
        Image("[terminal]\ninit = 0\n" + CardSections("kvk.ini") + "\n" + CardSections("kvk.ini"));
    Orva orva({"USB", "-LSIM", "-D"}, tmp.Path(), Sim(image));
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(Traced("CT_init"), 0);  // nothing starts by itself
    HWND read = GetDlgItem(main, app::kIdButtonRead);

    PostMessageW(read, BM_CLICK, 0, 0);
    ASSERT_TRUE(ClientHas(1));
    EXPECT_EQ(Traced("cmd=00 0E"), 0);  // delRecord not ticked: no ERASE BINARY

    PostMessageW(GetDlgItem(main, app::kIdDelRecord), BM_CLICK, 0, 0);
    PostMessageW(read, BM_CLICK, 0, 0);
    ASSERT_TRUE(ClientHas(2));
    EXPECT_TRUE(WaitFor([&] { return Traced("cmd=00 0E") == 1; }, 5s));
    EXPECT_GT(SendMessageW(GetDlgItem(main, app::kIdHexlist), LB_GETCOUNT, 0, 0), 10);
    EXPECT_FALSE(orva.Ended(0ms));  // the window stays open

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(orva.Ended(15s));
}

TEST_F(ReadE2eTest, InvisibleReadsOnceAndEnds) {
    const fs::path out = tmp.Path() / "OUT.TXT";
    {
        // Without -F the start-up run finds no client channel yet: the record reaches nobody.
        Orva orva({"USB", "-LSIM", "-U"}, tmp.Path(), Sim(CardsDir() / "kvk.ini"));
        EXPECT_TRUE(orva.Ended(60s));
    }
    {
        Orva orva({"USB", "-LSIM", "-U", "-F" + Narrow(out.wstring())}, tmp.Path(),
                  Sim(CardsDir() / "kvk.ini"));
        HWND main = orva.MainWindow();
        EXPECT_TRUE(orva.Ended(60s));
        EXPECT_FALSE(main != nullptr && IsWindowVisible(main));
    }
    EXPECT_NE(ReadText(out).find("Br}ckner"), std::string::npos);
    EXPECT_TRUE(client.Records().empty());
    EXPECT_EQ(Traced("CT_init"), 2);
}

TEST_F(ReadE2eTest, ClosingDuringAnEndlessEjectLoopEnds) {
    // The card is never taken out: the eject loop would go on for ever.
    const fs::path image =
        Image("[terminal]\ninit = 0\n" + CardSections("kvk.ini") + "eject_busy = 1000000\n");
    Orva orva({"USB", "-LSIM", "-E"}, tmp.Path(), Sim(image));
    HWND main = orva.MainWindow();
    ASSERT_NE(main, nullptr);
    HWND status = GetDlgItem(main, app::kIdStatus);
    ASSERT_TRUE(WaitFor([&] { return WindowText(status) == "Versichertenkarte entnehmen"; }, 30s));
    PostMessageW(main, WM_CLOSE, 0, 0);
    // Closing waits for the run a bounded time; without that bound the process would never end.
    ASSERT_TRUE(orva.Ended(120s));
    EXPECT_EQ(orva.ExitCode(), 0u);         // no crash: the library stayed loaded under the run
    EXPECT_TRUE(client.Records().empty());  // the run never got to its delivery
}

// ---- Faults in every phase of an eGK read: closing the window or "Abbruch" while the run waits
// for a card, waits for the PIN, reads the files, runs GZIP, hands the record to a slow client,
// or ejects a card that is never taken out.

// The programs of this test that could be left behind.
int RunningCount(const wchar_t* exe) {
    int n = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, exe) == 0) {
            ++n;
        }
    }
    CloseHandle(snapshot);
    return n;
}

class PhaseFaultTest : public WindowE2eTest {
  protected:
    std::map<std::wstring, std::wstring> Sim(const std::string& image) const {
        const fs::path path = tmp.Path() / "cards.ini";
        test::WriteFileBytes(path, std::vector<std::uint8_t>(image.begin(), image.end()));
        return {{L"ORVA_SIM_CARDS", WinePath(path)},
                {L"ORVA_SIM_TRACE", (tmp.Path() / "trace.txt").wstring()}};
    }
    bool TraceHas(const std::string& text) const {
        const fs::path path = tmp.Path() / "trace.txt";
        return fs::exists(path) && ReadText(path).find(text) != std::string::npos;
    }
};

TEST_F(PhaseFaultTest, CloseOrAbbruchInEveryPhaseEndsCleanlyWithAWholeRecordOrTheErrorRecord) {
    // The egk.ini card; its XML files go beside the image.
    const std::string card = CardSections("egk.ini");
    for (const char* xml : {"egk_pd.xml", "egk_vd.xml", "egk_gvd.xml"}) {
        fs::copy_file(CardsDir() / xml, tmp.Path() / xml, fs::copy_options::overwrite_existing);
    }
    const std::string error(kErrorRecord.begin(), kErrorRecord.end());

    // The whole record of this card, as an undisturbed read hands it over.
    std::string whole;
    {
        Client client(tmp.Path() / "whole");
        ASSERT_TRUE(client.Ready());
        Orva orva({"USB", "-LSIM"}, tmp.Path(), Sim("[terminal]\ninit = 0\n" + card));
        ASSERT_TRUE(orva.Ended(60s));
        ASSERT_TRUE(WaitFor([&] { return client.Records().size() == 1; }, 30s));
        whole = client.Records()[0];
        ASSERT_NE(whole.find("PD>"), std::string::npos);
    }

    struct Phase {
        const char* name;
        std::string image;
        unsigned clientDelayMs;
        std::string status;  // Status shows this in the phase, or
        std::string traced;  // the trace holds this, or
        bool receiving;      // the slow client has begun to receive
    };
    const std::string terminal = "[terminal]\ninit = 0\n";
    const Phase phases[] = {
        {"waiting for a card", terminal, 0, "Versichertenkarte einstecken", "", false},
        {"PIN wait", terminal + card + "pin_polls = 1000000\n", 0, "Bitte geben Sie die PIN ein.",
         "", false},
        {"file reads", "[terminal]\ninit = 0\nlatency_ms = 100\n" + card, 0,
         "Read Binary with SFID: EF.PD", "", false},
        {"GZIP step", terminal + card, 0, "", "CT_close", false},
        {"slow client", terminal + card, 3000, "", "", true},
        {"eject loop, card never taken out", terminal + card + "eject_busy = 1000000\n", 0,
         "Versichertenkarte entnehmen", "", false},
    };
    int round = 0;
    for (const Phase& phase : phases) {
        for (const bool abbruch : {false, true}) {
            SCOPED_TRACE(std::string(phase.name) + (abbruch ? ", Abbruch" : ", WM_CLOSE"));
            const fs::path out = tmp.Path() / ("client" + std::to_string(++round));
            fs::remove(tmp.Path() / "trace.txt");
            Client client(out, phase.clientDelayMs);
            ASSERT_TRUE(client.Ready());
            Orva orva({"USB", "-LSIM", "-E"}, tmp.Path(), Sim(phase.image));
            HWND main = orva.MainWindow();
            ASSERT_NE(main, nullptr);
            HWND status = GetDlgItem(main, app::kIdStatus);
            ASSERT_TRUE(WaitFor(
                [&] {
                    if (!phase.status.empty()) {
                        return WindowText(status) == phase.status;
                    }
                    if (!phase.traced.empty()) {
                        return TraceHas(phase.traced);
                    }
                    return fs::exists(out / "receiving");
                },
                60s));
            if (abbruch) {
                PostMessageW(GetDlgItem(main, app::kIdButtonAbbruch), BM_CLICK, 0, 0);
            } else {
                PostMessageW(main, WM_CLOSE, 0, 0);
            }
            // Bounded: the close waits at most a few seconds for a run that does not end.
            ASSERT_TRUE(orva.Ended(30s));
            EXPECT_EQ(orva.ExitCode(), 0u);  // no crash
            EXPECT_TRUE(WaitFor(
                [] { return RunningCount(L"GZIP.exe") == 0 && RunningCount(L"ORVA.exe") == 0; },
                15s));
            // What the client got: whole records and ErrorRecords only, never part of one.
            std::this_thread::sleep_for(phase.clientDelayMs > 0 ? 4s : 0s);
            const std::vector<std::string> records = client.Records();
            for (const std::string& record : records) {
                EXPECT_TRUE(record == whole || record == error)
                    << test::ToHex(std::vector<std::uint8_t>(record.begin(), record.end()));
            }
            if (abbruch) {
                EXPECT_NE(std::find(records.begin(), records.end(), error), records.end());
            }
        }
    }
}

}  // namespace
}  // namespace orva::e2e
