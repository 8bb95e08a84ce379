// What the Windows end-to-end drivers share: the folder the programs lie in, bounded polling,
// fixture paths as the programs under Wine see them, and a started program that is ended when
// its object goes.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace orva::e2e {

// The folder of the test driver, where ORVA.exe, the libraries, GZIP.exe and the client lie.
inline std::filesystem::path ProgramFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

inline std::filesystem::path CardsDir() {
    return std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards";
}

inline std::string ReadText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A Unix path as Windows programs under Wine see it.
inline std::wstring WinePath(const std::filesystem::path& unixPath) {
    std::wstring text = unixPath.wstring();
    if (!text.empty() && text[0] == L'/') {
        for (wchar_t& c : text) {
            if (c == L'/')
                c = L'\\';
        }
        return L"Z:" + text;
    }
    return text;
}

// Polls until the predicate holds or the time is up.
inline bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                    std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// A program started in ProgramFolder() with the driver's environment, in which the variables of
// env replace those of the same name; terminated, if it still runs, when the object goes.
class ChildProcess {
  public:
    ChildProcess(std::wstring commandLine, const std::map<std::wstring, std::wstring>& env = {}) {
        std::wstring block;
        LPWCH strings = GetEnvironmentStringsW();
        for (LPWCH p = strings; *p != L'\0'; p += wcslen(p) + 1) {
            const std::wstring entry(p);
            // Names such as "=C:" begin with "=": the name ends at the next one.
            if (env.count(entry.substr(0, entry.find(L'=', 1))) == 0) {
                block += entry + L'\0';
            }
        }
        FreeEnvironmentStringsW(strings);
        for (const auto& [name, value] : env) {
            block += name + L"=" + value + L'\0';
        }
        block += L'\0';
        STARTUPINFOW si{};
        si.cb = sizeof si;
        const std::wstring folder = ProgramFolder().wstring();
        started_ = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                  CREATE_UNICODE_ENVIRONMENT, block.data(), folder.c_str(), &si,
                                  &pi_) != FALSE;
    }
    ~ChildProcess() {
        if (started_) {
            if (!Ended(std::chrono::milliseconds(0))) {
                TerminateProcess(pi_.hProcess, 99);
                WaitForSingleObject(pi_.hProcess, 5000);
            }
            CloseHandle(pi_.hThread);
            CloseHandle(pi_.hProcess);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return started_; }
    HANDLE Handle() const { return pi_.hProcess; }
    DWORD Pid() const { return pi_.dwProcessId; }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(pi_.hProcess, &code);
        return code;
    }
    bool Ended(std::chrono::milliseconds timeout) const {
        return WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(timeout.count())) ==
               WAIT_OBJECT_0;
    }

  private:
    bool started_ = false;
    PROCESS_INFORMATION pi_{};
};

// The quoted path of a program in ProgramFolder(), the start of its command line.
inline std::wstring QuotedProgram(const wchar_t* name) {
    return L"\"" + (ProgramFolder() / name).wstring() + L"\"";
}

}  // namespace orva::e2e
