// The Win32 main window. Layout at 96 DPI (client area 605 x 786, centred; positions relative to
// the client area; default font "MS Sans Serif", character height 11):
//
//   ButtonRead     button     8, 88   105 x 25   "KVK / eGK &lesen"     tab 0
//   ButtonAbbruch  button     8, 48   105 x 25   "&Abbruch"             tab 1
//   Hexlist        list box   8, 128  577 x 257  "Courier New" 11, items 14 high   tab 2
//   Memo           edit       8, 392  577 x 393  multi-line, vertical scroll bar    tab 3
//   delRecord      check box  136, 96 65 x 17    "Löschen"              tab 4
//   Status         label      13, 8   text x 25  character height 21
//   Version        label      130, 45 text       "Version", character height 8
//   Parameter      label      130, 60 text       empty
//   nameFile       label      130, 79 text       "nameFile"
//   EndlosLoop     timer      3000 ms, the serial protocol's supervision
//
// The compact view hides Memo, Hexlist, ButtonRead and delRecord and sets the outer height to
// 120 pixels. Hexlist keeps its last 10,000 lines and Memo its last 64 K characters
// (app/text_bounds.h).
//
// Texts are Windows-1252 inside the program; they reach the controls through the W functions.
// The reader thread and the serial event thread never touch a control: their updates are posted
// to this window with an owned copy of the text and applied on the GUI thread. Status, command
// log, Memo and bring-to-front are collected and posted as one message while none is pending: a
// terminal that answers at once (an eject loop) must not flood the window's message queue, or a
// close request could no longer be posted.
#include "app/window_win.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <optional>
#include <string>
#include <string_view>

#include "app/run_control.h"
#include "app/services.h"
#include "app/text_bounds.h"
#include "app/window_ids.h"
#include "core/ui.h"

namespace orva::app {
namespace {

constexpr int kClientWidth = 605;
constexpr int kClientHeight = 786;
constexpr int kCompactOuterHeight = 120;

// Posted to the main window: wParam = UiOp, lParam = an owned std::string* or a flag.
constexpr UINT kMsgUi = WM_APP + 1;
constexpr UINT kMsgFormShow = WM_APP + 2;
constexpr UINT kMsgFormHide = WM_APP + 3;
constexpr UINT kMsgFlush = WM_APP + 4;

enum UiOp : WPARAM {
    kOpStatus,
    kOpHexlist,
    kOpRepaint,
    kOpMemo,
    kOpLabelVersion,
    kOpLabelParameter,
    kOpLabelNameFile,
    kOpCaption,
    kOpMinimised,
    kOpVisible,
    kOpFront,
    kOpTerminate,
};

std::wstring Widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

struct Fonts {
    HFONT normal = nullptr;   // "MS Sans Serif" 11
    HFONT hexlist = nullptr;  // "Courier New" 11
    HFONT status = nullptr;   // "MS Sans Serif" 21
    HFONT version = nullptr;  // "MS Sans Serif" 8
};

// The window and its controls. The fonts and the window live until the process ends.
struct Window {
    HWND main = nullptr;
    HWND buttonRead = nullptr, buttonAbbruch = nullptr, hexlist = nullptr, memo = nullptr;
    HWND delRecord = nullptr, status = nullptr, version = nullptr, parameter = nullptr,
         nameFile = nullptr;
    Fonts fonts;
    DWORD guiThread = 0;
    std::atomic<bool> delRecordTicked{false};
    // The state the window takes when it is made visible; Win32 would show a hidden window that
    // is minimised, so while hidden the state is only remembered.
    std::atomic<bool> minimised{false};
    std::atomic<bool> terminating{false};
    bool closing = false;
};

Window gWin;

bool OnGuiThread() {
    return GetCurrentThreadId() == gWin.guiThread;
}

HFONT MakeFont(int height, const wchar_t* face) {
    return CreateFontW(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

// A label sized to its text; Status keeps its height of 25.
void SetLabelText(HWND label, std::string_view text, int fixedHeight = 0) {
    const std::wstring wide = Widen(text);
    SetWindowTextW(label, wide.c_str());
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, size.cx, fixedHeight > 0 ? fixedHeight : metrics.tmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ApplyMinimised(bool minimised) {
    gWin.minimised = minimised;
    if (IsWindowVisible(gWin.main)) {
        ShowWindow(gWin.main, minimised ? SW_MINIMIZE : SW_RESTORE);
    }
}

void ApplyVisible(bool visible) {
    if (!visible) {
        if (IsWindowVisible(gWin.main)) {
            ShowWindow(gWin.main, SW_HIDE);
            PostMessageW(gWin.main, kMsgFormHide, 0, 0);
        }
    } else if (!IsWindowVisible(gWin.main)) {
        ShowWindow(gWin.main, gWin.minimised ? SW_SHOWMINIMIZED : SW_SHOW);
    }
}

void BringWindowToFront() {
    if (IsIconic(gWin.main) && !gWin.minimised) {
        ShowWindow(gWin.main, SW_RESTORE);
    }
    SetForegroundWindow(gWin.main);
    BringWindowToTop(gWin.main);
}

// Appends a line to the Memo; its oldest lines go when the Memo would exceed its limit.
void AppendToMemo(const std::wstring& line) {
    int end = GetWindowTextLengthW(gWin.memo);
    if (static_cast<std::size_t>(end) + line.size() > kMemoChars) {
        std::wstring text(static_cast<std::size_t>(end) + 1, L'\0');
        text.resize(static_cast<std::size_t>(
            GetWindowTextW(gWin.memo, text.data(), static_cast<int>(text.size()))));
        const std::size_t drop = OldLinesToDrop(text, line.size(), kMemoChars);
        if (drop > 0) {
            SendMessageW(gWin.memo, EM_SETSEL, 0, static_cast<LPARAM>(drop));
            SendMessageW(gWin.memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        }
        end = GetWindowTextLengthW(gWin.memo);
    }
    SendMessageW(gWin.memo, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(gWin.memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
}

// Applies one window update; runs on the GUI thread.
void Apply(UiOp op, const std::string& text, bool flag) {
    switch (op) {
        case kOpStatus:
            SetLabelText(gWin.status, text, 25);
            break;
        case kOpHexlist: {
            const std::wstring wide = Widen(text);
            LRESULT index =
                SendMessageW(gWin.hexlist, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
            // The oldest lines go, so that weeks of card after card keep the memory flat.
            while (index > static_cast<LRESULT>(kCommandLogLines) - 1) {
                SendMessageW(gWin.hexlist, LB_DELETESTRING, 0, 0);
                --index;
            }
            if (index >= 0) {
                SendMessageW(gWin.hexlist, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
            }
            break;
        }
        case kOpRepaint:
            UpdateWindow(gWin.hexlist);
            break;
        case kOpMemo:
            AppendToMemo(Widen(text) + L"\r\n");
            break;
        case kOpLabelVersion:
            SetLabelText(gWin.version, text);
            break;
        case kOpLabelParameter:
            SetLabelText(gWin.parameter, text);
            break;
        case kOpLabelNameFile:
            SetLabelText(gWin.nameFile, text);
            break;
        case kOpCaption:
            SetWindowTextW(gWin.main, Widen(text).c_str());
            break;
        case kOpMinimised:
            ApplyMinimised(flag);
            break;
        case kOpVisible:
            ApplyVisible(flag);
            break;
        case kOpFront:
            BringWindowToFront();
            break;
        case kOpTerminate:
            PostQuitMessage(0);
            break;
    }
}

// Updates of other threads waiting for the GUI thread.
struct PendingUpdates {
    std::mutex mutex;
    bool posted = false;
    std::optional<std::string> status;
    std::deque<std::string> hexlist;
    std::deque<std::string> memo;
    std::size_t memoChars = 0;  // in the Memo, with CR LF
    bool repaint = false;
    bool front = false;
};

PendingUpdates gPending;

void FlushPending() {
    PendingUpdates taken;
    {
        std::lock_guard lock(gPending.mutex);
        gPending.posted = false;
        taken.status = std::move(gPending.status);
        taken.hexlist.swap(gPending.hexlist);
        taken.memo.swap(gPending.memo);
        gPending.memoChars = 0;
        taken.repaint = std::exchange(gPending.repaint, false);
        taken.front = std::exchange(gPending.front, false);
        gPending.status.reset();
    }
    if (taken.status) {
        Apply(kOpStatus, *taken.status, false);
    }
    if (!taken.hexlist.empty()) {
        SendMessageW(gWin.hexlist, WM_SETREDRAW, FALSE, 0);
        for (const std::string& line : taken.hexlist) {
            Apply(kOpHexlist, line, false);
        }
        SendMessageW(gWin.hexlist, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(gWin.hexlist, nullptr, TRUE);
    }
    for (const std::string& line : taken.memo) {
        Apply(kOpMemo, line, false);
    }
    if (taken.repaint) {
        Apply(kOpRepaint, {}, false);
    }
    if (taken.front) {
        Apply(kOpFront, {}, false);
    }
}

// From another thread: true when the update joined the pending ones.
bool Collect(UiOp op, std::string_view text) {
    std::lock_guard lock(gPending.mutex);
    switch (op) {
        case kOpStatus:
            gPending.status = std::string(text);
            break;
        case kOpHexlist:
            if (gPending.hexlist.size() >= kCommandLogLines) {
                gPending.hexlist.pop_front();  // would be dropped from the list box anyway
            }
            gPending.hexlist.emplace_back(text);
            break;
        case kOpMemo:
            // Lines that the Memo would drop at once are not kept waiting either.
            gPending.memo.emplace_back(text);
            gPending.memoChars += text.size() + 2;
            while (gPending.memoChars > kMemoChars && gPending.memo.size() > 1) {
                gPending.memoChars -= gPending.memo.front().size() + 2;
                gPending.memo.pop_front();
            }
            break;
        case kOpRepaint:
            gPending.repaint = true;
            break;
        case kOpFront:
            gPending.front = true;
            break;
        default:
            return false;
    }
    if (!gPending.posted) {
        gPending.posted = PostMessageW(gWin.main, kMsgFlush, 0, 0) != FALSE;
    }
    return true;
}

// Applies an update at once on the GUI thread; from any other thread posts it with an owned
// copy of the text (never SendMessage: the GUI thread may be waiting for that thread).
void Update(UiOp op, std::string_view text = {}, bool flag = false) {
    if (OnGuiThread()) {
        FlushPending();  // keeps the order of what other threads did before
        Apply(op, std::string(text), flag);
        return;
    }
    if (Collect(op, text)) {
        return;
    }
    auto* payload = new std::string(text);
    if (!PostMessageW(gWin.main, kMsgUi, op | (flag ? 0x100 : 0),
                      reinterpret_cast<LPARAM>(payload))) {
        delete payload;
    }
}

class WindowUi final : public core::Ui {
  public:
    void SetStatus(std::string_view text) override { Update(kOpStatus, text); }
    void AppendHexlist(std::string_view line) override { Update(kOpHexlist, line); }
    void RepaintHexlist() override { Update(kOpRepaint); }
    void AppendMemo(std::string_view line) override { Update(kOpMemo, line); }
    void SetLabel(core::Label label, std::string_view text) override {
        switch (label) {
            case core::Label::Version:
                Update(kOpLabelVersion, text);
                break;
            case core::Label::Parameter:
                Update(kOpLabelParameter, text);
                break;
            case core::Label::NameFile:
                Update(kOpLabelNameFile, text);
                break;
        }
    }
    void SetCaption(std::string_view text) override { Update(kOpCaption, text); }
    bool DelRecordTicked() override { return gWin.delRecordTicked; }
    bool IsMinimised() override {
        return IsWindowVisible(gWin.main) ? IsIconic(gWin.main) != FALSE : gWin.minimised.load();
    }
    void SetMinimised(bool minimised) override {
        gWin.minimised = minimised;
        Update(kOpMinimised, {}, minimised);
    }
    void SetVisible(bool visible) override { Update(kOpVisible, {}, visible); }
    void BringToFront() override { Update(kOpFront); }

    // Application-modal on the GUI thread. A box of another thread has no owner window: the GUI
    // thread may be waiting for that thread, and an owner of another thread would make the box
    // wait for the GUI thread in turn.
    void ShowMessage(const core::MessageBoxSpec& box) override {
        UINT flags = MB_OK;
        if (box.icon == core::BoxIcon::Warning) {
            flags |= MB_ICONWARNING;
        }
        HWND owner = nullptr;
        if (box.systemModal) {
            flags |= MB_SYSTEMMODAL;
        } else if (OnGuiThread()) {
            flags |= MB_APPLMODAL;
            owner = gWin.main;
        } else {
            flags |= MB_TASKMODAL | MB_SETFOREGROUND | MB_TOPMOST;
        }
        MessageBoxW(owner, Widen(box.text).c_str(), Widen(box.caption).c_str(), flags);
    }
    void PostClose() override { PostMessageW(gWin.main, WM_CLOSE, 0, 0); }
    void RequestTerminate() override {
        gWin.terminating = true;
        PostMessageW(gWin.main, kMsgUi, kOpTerminate, 0);
    }
    void ShowCompactView() override {
        for (HWND control : {gWin.memo, gWin.hexlist, gWin.buttonRead, gWin.delRecord}) {
            ShowWindow(control, SW_HIDE);
        }
        RECT outer{};
        GetWindowRect(gWin.main, &outer);
        SetWindowPos(gWin.main, nullptr, 0, 0, outer.right - outer.left, kCompactOuterHeight,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    void PumpMessages() override {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));  // for the main loop
                return;
            }
            if (IsWindow(gWin.main) && IsDialogMessageW(gWin.main, &msg)) {
                continue;  // keyboard navigation and the buttons' access keys, as in the loop
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
};

WindowUi gUi;
SystemServices gServices;

// The framework-style box for an exception that reaches the message loop.
void ShowException(const char* message) {
    MessageBoxW(gWin.main, Widen(message).c_str(), L"ORVA", MB_OK | MB_ICONERROR | MB_APPLMODAL);
}

std::optional<std::string> SelectedHexlistLine() {
    const LRESULT index = SendMessageW(gWin.hexlist, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) {
        return std::nullopt;
    }
    const LRESULT length = SendMessageW(gWin.hexlist, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    SendMessageW(gWin.hexlist, LB_GETTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(wide.data()));
    wide.resize(wcslen(wide.c_str()));
    std::string text(wide.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(1252, 0, wide.c_str(), static_cast<int>(wide.size()),
                                      text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return text;
}

void OnCommand(int id, int code) {
    switch (id) {
        case kIdButtonRead:
            if (code == BN_CLICKED) {
                ButtonReadPressed();
            }
            break;
        case kIdButtonAbbruch:
            if (code == BN_CLICKED) {
                ButtonAbbruchClick(gServices);
            }
            break;
        case kIdDelRecord:
            if (code == BN_CLICKED) {
                gWin.delRecordTicked =
                    SendMessageW(gWin.delRecord, BM_GETCHECK, 0, 0) == BST_CHECKED;
            }
            break;
        case kIdHexlist:
            if (code == LBN_SELCHANGE) {
                HexlistClick(SelectedHexlistLine());
            }
            break;
        default:
            break;
    }
}

LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kMsgUi: {
            auto* payload = reinterpret_cast<std::string*>(lParam);
            const std::string text = payload != nullptr ? *payload : std::string();
            delete payload;
            Apply(static_cast<UiOp>(wParam & 0xFF), text, (wParam & 0x100) != 0);
            return 0;
        }
        case kMsgFlush:
            FlushPending();
            return 0;
        case kMsgFormShow:
            FormShow();
            return 0;
        case kMsgFormHide:
            FormHide();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_TIMER:
            if (wParam == kEndlosLoopTimer) {
                EndlosLoopTick();
            }
            return 0;
        case WM_SIZE: {
            RECT outer{};
            GetWindowRect(hwnd, &outer);
            if (auto height = MemoHeightFor(outer.bottom - outer.top); height && gWin.memo) {
                SetWindowPos(gWin.memo, nullptr, 0, 0, 577, *height,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            break;
        }
        case WM_CLOSE:
            if (gWin.closing) {
                return 0;  // closing already waits for the reader thread
            }
            gWin.closing = true;
            if (FormClose(gServices)) {
                DestroyWindow(hwnd);
            } else {
                gWin.closing = false;  // a run on this thread ends first, then closes again
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return HandleMessage(hwnd, message, wParam, lParam);
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    return 0;
}

HWND MakeControl(const wchar_t* cls, const char* text, DWORD style, int x, int y, int w, int h,
                 int id, HFONT font, DWORD exStyle = 0) {
    HWND control = CreateWindowExW(
        exStyle, cls, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, gWin.main,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

bool CreateMainWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    if (RegisterClassExW(&wc) == 0) {
        return false;
    }

    const DWORD style = WS_OVERLAPPEDWINDOW;
    const DWORD exStyle = WS_EX_CONTROLPARENT;
    RECT rect{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    gWin.main = CreateWindowExW(exStyle, kMainWindowClass, Widen(kWindowCaption).c_str(), style, x,
                                y, width, height, nullptr, nullptr, instance, nullptr);
    if (gWin.main == nullptr) {
        return false;
    }

    gWin.fonts.normal = MakeFont(11, L"MS Sans Serif");
    gWin.fonts.hexlist = MakeFont(11, L"Courier New");
    gWin.fonts.status = MakeFont(21, L"MS Sans Serif");
    gWin.fonts.version = MakeFont(8, L"MS Sans Serif");
    const Fonts& f = gWin.fonts;

    // Created in tab order; the labels take no focus.
    gWin.buttonRead = MakeControl(L"BUTTON", "KVK / eGK &lesen", WS_TABSTOP | BS_PUSHBUTTON, 8, 88,
                                  105, 25, kIdButtonRead, f.normal);
    gWin.buttonAbbruch = MakeControl(L"BUTTON", "&Abbruch", WS_TABSTOP | BS_PUSHBUTTON, 8, 48, 105,
                                     25, kIdButtonAbbruch, f.normal);
    gWin.hexlist =
        MakeControl(L"LISTBOX", "", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 8,
                    128, 577, 257, kIdHexlist, f.hexlist, WS_EX_CLIENTEDGE);
    SendMessageW(gWin.hexlist, LB_SETITEMHEIGHT, 0, 14);
    gWin.memo = MakeControl(L"EDIT", "",
                            WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                            8, 392, 577, 393, kIdMemo, f.normal, WS_EX_CLIENTEDGE);
    SendMessageW(gWin.memo, EM_SETLIMITTEXT, 0, 0);
    gWin.delRecord = MakeControl(L"BUTTON", "L\xF6schen", WS_TABSTOP | BS_AUTOCHECKBOX, 136, 96, 65,
                                 17, kIdDelRecord, f.normal);
    gWin.status =
        MakeControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX, 13, 8, 0, 25, kIdStatus, f.status);
    gWin.version =
        MakeControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX, 130, 45, 0, 0, kIdVersion, f.version);
    gWin.parameter =
        MakeControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX, 130, 60, 0, 0, kIdParameter, f.normal);
    gWin.nameFile =
        MakeControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX, 130, 79, 0, 0, kIdNameFile, f.normal);
    SetLabelText(gWin.version, "Version");
    SetLabelText(gWin.parameter, "");
    SetLabelText(gWin.nameFile, "nameFile");
    SendMessageW(gWin.main, WM_SETFONT, reinterpret_cast<WPARAM>(f.normal), FALSE);

    SetTimer(gWin.main, kEndlosLoopTimer, kEndlosLoopInterval, nullptr);
    return true;
}

int MessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (gWin.main != nullptr && IsWindow(gWin.main) && IsDialogMessageW(gWin.main, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace

int RunMainWindow(const std::vector<std::string>& args) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    gWin.guiThread = GetCurrentThreadId();
    if (!CreateMainWindow()) {
        return 1;
    }
    core::SetUi(&gUi);

    try {
        FormCreate(gServices, args);
        // Shown when the loop starts, unless start-up minimised it (-U, --) or ends already.
        if (!gWin.terminating && !gWin.minimised) {
            ShowWindow(gWin.main, SW_SHOW);
            PostMessageW(gWin.main, kMsgFormShow, 0, 0);
        }
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }

    for (;;) {
        try {
            return MessageLoop();
        } catch (const std::exception& e) {
            ShowException(e.what());
        } catch (...) {
            ShowException("");
        }
    }
}

}  // namespace orva::app
