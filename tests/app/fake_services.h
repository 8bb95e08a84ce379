// A Services fake for the start-up and run-control tests: records every call in one log (shared
// with the message boxes of the RecordingUi, so the order of boxes and calls shows), and answers
// as the test sets it up. Thread-safe: reading runs call it from the reader thread.
#pragma once

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/run_control.h"
#include "support/recording_ui.h"

namespace orva::test {

// Sets (or with null removes) an environment variable of this process.
inline void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

class FakeServices : public app::Services {
public:
    explicit FakeServices(RecordingUi& ui) {
        ui.onMessage = [this, &ui] {
            std::string caption;
            {
                std::lock_guard lock(ui.mutex);
                caption = ui.boxes.back().caption;
            }
            Log("box " + caption);
        };
    }

    // Set up by the test.
    std::map<std::string, int> deleteErrors;  // file name (without folder) -> error number
    terminal::LoadResult loadResult = terminal::LoadResult::Loaded;
    bool channelOk = true;
    bool serialOk = true;
    std::function<void()> onRun;  // the body of a reading run

    int RemoveFile(const std::string& path) override {
        const std::string name = path.substr(path.find_last_of("/\\") + 1);
        Log("delete " + name);
        const auto it = deleteErrors.find(name);
        return it == deleteErrors.end() ? 2 : it->second;
    }
    void CloseWindowByCaption(std::string_view caption) override {
        Log("close window " + std::string(caption));
    }
    terminal::LoadResult LoadCtApi(std::string_view port, std::string_view suffix) override {
        Log("load " + std::string(port) + " " + std::string(suffix));
        loaded = loadResult == terminal::LoadResult::Loaded;
        return loadResult;
    }
    bool CtApiLoaded() override { return loaded; }
    void UnloadCtApi() override {
        Log("unload");
        loaded = false;
    }
    void ReadingRun() override {
        Log("run");
        ++runs;
        if (onRun) {
            onRun();
        }
    }
    void DeliverErrorRecord() override { Log("ErrorRecord"); }
    bool CreateClientChannel(bool withMemory) override {
        Log(withMemory ? "channel with memory" : "channel");
        return channelOk;
    }
    void ReleaseClientChannel() override { Log("release channel"); }
    bool OpenSerial(const std::string& port) override {
        Log("open " + port);
        return serialOk;
    }
    void StartSerialProtocol() override { Log("start protocol"); }
    void CloseSerial() override { Log("close serial"); }
    void SerialTimerTick() override { Log("tick"); }
    void ShowCompactView() override { Log("compact"); }
    void PumpMessages() override { ++pumps; }

    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
    void Log(const std::string& call) {
        std::lock_guard lock(mutex);
        calls.push_back(call);
    }

    std::atomic<bool> loaded{false};
    std::atomic<int> runs{0};
    std::atomic<int> pumps{0};

private:
    std::mutex mutex;
    std::vector<std::string> calls;
};

}  // namespace orva::test
