// OrvaClient: a reference client that receives ORVA's records, for integrators to copy and for
// the tests to receive with.
//
//   OrvaClient.exe [--out DIR] [--class TFormTelnetMain|TFormCommMain] [--delay MS]
//
// What a client must do:
//   1. Register the window message "OVIRADATA1" (RegisterWindowMessageA).
//   2. Open (or create) the named shared-memory block "OVIRADATA1" of 16384 bytes.
//   3. Own a top-level window of class "TFormTelnetMain" (ORVA looks for "TFormCommMain" only
//      when there is no "TFormTelnetMain" window).
//   4. On the registered message, read exactly WPARAM bytes from offset 0 of the block before
//      the window procedure returns: ORVA sends synchronously and may overwrite the block with
//      the next record as soon as the message returns. Bytes behind WPARAM are left-overs of
//      earlier, longer records.
// The record begins with 04 "OKVK 01" and ends with 04; 04 "OKVK 01-" 04 means "no card data".
//
// This client shows the last record in its window, with control bytes written as escapes, and
// with --out writes every record to DIR\record-0001.bin, record-0002.bin, ... . Once its window
// exists it creates DIR\ready, so that a test knows it can deliver. It ends on WM_CLOSE.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kChannelName = "OVIRADATA1";
constexpr DWORD kBlockSize = 16384;
constexpr int kTextId = 100;

UINT gMessage = 0;
const unsigned char* gBlock = nullptr;
std::string gOutDir;
unsigned gCount = 0;
DWORD gDelayMs = 0;  // --delay: a slow client, which holds each hand-over this long
HWND gText = nullptr;

// The record as readable text: printable bytes as they are (Windows-1252), "\n" behind a line
// break of its own, other control bytes and backslashes as escapes.
std::string Readable(const std::vector<unsigned char>& record) {
    std::string text;
    char escape[8];
    for (const unsigned char byte : record) {
        if (byte == '\n') {
            text += "\\n\r\n";
        } else if (byte == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            text += escape;
        } else {
            text.push_back(static_cast<char>(byte));
        }
    }
    return text;
}

void Show(const std::string& text) {
    const int n =
        MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    SetWindowTextW(gText, wide.c_str());
}

bool WriteWhole(const std::string& path, const void* bytes, DWORD length) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes, length, &written, nullptr) && written == length;
    CloseHandle(file);
    return ok;
}

// The registered message: copy WPARAM bytes out of the block before returning.
void Receive(WPARAM length) {
    const std::size_t n = length < kBlockSize ? length : kBlockSize;
    std::vector<unsigned char> record(gBlock, gBlock + n);
    ++gCount;
    if (gDelayMs > 0) {
        if (!gOutDir.empty()) {
            WriteWhole(gOutDir + "\\receiving", "", 0);  // a test sees the hand-over begin
        }
        Sleep(gDelayMs);
    }
    if (!gOutDir.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "record-%04u.bin", gCount);
        WriteWhole(gOutDir + "\\" + name, record.data(), static_cast<DWORD>(record.size()));
    }
    Show("Datensatz " + std::to_string(gCount) + ", " + std::to_string(n) + " Bytes:\r\n" +
         Readable(record));
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == gMessage && gMessage != 0) {
        if (gBlock != nullptr) {
            Receive(wParam);
        }
        return 0;
    }
    switch (message) {
        case WM_CREATE:
            gText = CreateWindowExW(
                0, L"EDIT", L"Warte auf Daten ...",
                WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0,
                0, 0, 0, window, reinterpret_cast<HMENU>(kTextId), GetModuleHandleW(nullptr),
                nullptr);
            SendMessageW(gText, WM_SETFONT,
                         reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
            return 0;
        case WM_SIZE:
            MoveWindow(gText, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

int Usage() {
    MessageBoxA(nullptr,
                "OrvaClient.exe [--out DIR] [--class TFormTelnetMain|TFormCommMain] [--delay MS]",
                "OrvaClient", MB_OK);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string windowClass = "TFormTelnetMain";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            gOutDir = argv[++i];
        } else if (std::strcmp(argv[i], "--class") == 0 && i + 1 < argc) {
            windowClass = argv[++i];
        } else if (std::strcmp(argv[i], "--delay") == 0 && i + 1 < argc) {
            gDelayMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            return Usage();
        }
    }
    while (!gOutDir.empty() && (gOutDir.back() == '\\' || gOutDir.back() == '/')) {
        gOutDir.pop_back();
    }

    gMessage = RegisterWindowMessageA(kChannelName);
    // Opens the block when ORVA created it first, creates it otherwise. Held for the life of
    // the process; the system releases it at exit.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        kBlockSize, kChannelName);
    if (mapping != nullptr) {
        gBlock = static_cast<const unsigned char*>(
            MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kBlockSize));
    }
    if (gMessage == 0 || gBlock == nullptr) {
        MessageBoxA(nullptr, "Kanal OVIRADATA1 nicht verf\xFCgbar!", "OrvaClient", MB_OK);
        return 1;
    }

    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = windowClass.c_str();
    if (RegisterClassA(&wc) == 0) {
        return 1;
    }
    HWND window =
        CreateWindowExA(0, windowClass.c_str(), "ORVA Client", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 640, 400, nullptr, nullptr, wc.hInstance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    if (!gOutDir.empty()) {
        WriteWhole(gOutDir + "\\ready", "", 0);
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
