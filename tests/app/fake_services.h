// A Services fake for the start-up and run-control tests: records every call in one log (shared
// with the message boxes of the RecordingUi, so the order of boxes and calls shows), and answers
// as the test sets it up. Thread-safe: reading runs call it from the reader thread.
#pragma once

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
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
    std::unique_ptr<app::Transport> LoadCtApiLibrary(std::string_view port, std::string_view suffix,
                                                     terminal::LoadResult& result) override {
        Log("load " + std::string(port) + " " + std::string(suffix));
        result = loadResult;
        loaded = loadResult == terminal::LoadResult::Loaded;
        return loaded ? std::make_unique<Transport>(*this, "") : nullptr;
    }
    std::unique_ptr<app::Transport> SerialPort(const std::string& port) override {
        return std::make_unique<Transport>(*this, port);
    }
    void DeliverErrorRecord() override { Log("ErrorRecord"); }
    bool CreateClientChannel(bool withMemory) override {
        Log(withMemory ? "channel with memory" : "channel");
        return channelOk;
    }
    void ReleaseClientChannel() override { Log("release channel"); }
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

  private:
    // A CT-API library (no port name) or the serial port, logging into the services' log.
    class Transport final : public app::Transport {
      public:
        Transport(FakeServices& services, std::string port)
            : services_(services), port_(std::move(port)) {}
        bool Start() override {
            if (port_.empty()) {
                return true;
            }
            services_.Log("open " + port_);
            if (!services_.serialOk) {
                return false;
            }
            services_.Log("start protocol");
            return true;
        }
        bool RunsOnRequest() const override { return port_.empty(); }
        void ReadingRun() override {
            services_.Log("run");
            ++services_.runs;
            if (services_.onRun) {
                services_.onRun();
            }
        }
        void TimerTick() override { services_.Log("tick"); }
        void Close(bool runsEnded) override {
            if (!port_.empty()) {
                services_.Log("close serial");
            } else if (runsEnded) {
                services_.Log("unload");
                services_.loaded = false;
            }
        }

      private:
        FakeServices& services_;
        std::string port_;
    };

    std::mutex mutex;
    std::vector<std::string> calls;
};

}  // namespace orva::test
