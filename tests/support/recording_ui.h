// A Ui that records everything done to the window, for the tests. Thread-safe, because reading
// runs and the serial protocol call it from their own threads.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/ui.h"

namespace orva::test {

class RecordingUi : public core::Ui {
  public:
    RecordingUi() { core::SetUi(this); }
    ~RecordingUi() override { core::SetUi(nullptr); }
    RecordingUi(const RecordingUi&) = delete;
    RecordingUi& operator=(const RecordingUi&) = delete;

    void SetStatus(std::string_view text) override { Add(status, text); }
    void AppendHexlist(std::string_view line) override { Add(hexlist, line); }
    void RepaintHexlist() override { Count(repaints); }
    void AppendMemo(std::string_view line) override { Add(memo, line); }
    void SetLabel(core::Label label, std::string_view text) override {
        std::lock_guard lock(mutex);
        labels[static_cast<int>(label)] = std::string(text);
    }
    void SetCaption(std::string_view text) override { Add(captions, text); }
    bool DelRecordTicked() override {
        std::lock_guard lock(mutex);
        return delRecord;
    }
    bool IsMinimised() override {
        std::lock_guard lock(mutex);
        return minimised;
    }
    void SetMinimised(bool value) override {
        std::lock_guard lock(mutex);
        minimised = value;
        windowStates.push_back(value ? "minimised" : "normal");
    }
    void SetVisible(bool value) override {
        std::lock_guard lock(mutex);
        visible = value;
        windowStates.push_back(value ? "visible" : "invisible");
    }
    void BringToFront() override { Count(fronts); }
    void ShowCompactView() override { Count(compactViews); }
    void ShowMessage(const core::MessageBoxSpec& box) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex);
            boxes.push_back(box);
            hook = onMessage;
        }
        if (hook) {
            hook();
        }
    }
    void PostClose() override { Count(closes); }
    void RequestTerminate() override { Count(terminates); }
    void PumpMessages() override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex);
            ++pumps;
            hook = onPump;
        }
        if (hook) {
            hook();
        }
    }

    std::string Label(core::Label label) {
        std::lock_guard lock(mutex);
        return labels[static_cast<int>(label)];
    }

    std::mutex mutex;
    std::vector<std::string> status, hexlist, memo, captions, windowStates;
    std::vector<core::MessageBoxSpec> boxes;
    std::string labels[3];
    bool delRecord = false;
    bool minimised = false;
    bool visible = true;
    int repaints = 0, fronts = 0, closes = 0, terminates = 0, compactViews = 0, pumps = 0;
    std::function<void()> onMessage;  // runs while a box is "shown"
    std::function<void()> onPump;     // runs as the window's messages are handled

  private:
    void Add(std::vector<std::string>& list, std::string_view text) {
        std::lock_guard lock(mutex);
        list.emplace_back(text);
    }
    void Count(int& counter) {
        std::lock_guard lock(mutex);
        ++counter;
    }
};

}  // namespace orva::test
