#include "core/ui.h"

#include <atomic>

namespace orva::core {

namespace {

class SilentUi final : public Ui {
  public:
    void SetStatus(std::string_view) override {}
    void AppendHexlist(std::string_view) override {}
    void RepaintHexlist() override {}
    void AppendMemo(std::string_view) override {}
    void SetLabel(Label, std::string_view) override {}
    void SetCaption(std::string_view) override {}
    bool DelRecordTicked() override { return false; }
    bool IsMinimised() override { return false; }
    void SetMinimised(bool) override {}
    void SetVisible(bool) override {}
    void BringToFront() override {}
    void ShowCompactView() override {}
    void ShowMessage(const MessageBoxSpec&) override {}
    void PostClose() override {}
    void RequestTerminate() override {}
    void PumpMessages() override {}
};

SilentUi gSilent;
std::atomic<Ui*> gUi{&gSilent};

}  // namespace

Ui& GetUi() {
    return *gUi.load();
}
void SetUi(Ui* ui) {
    gUi.store(ui != nullptr ? ui : &gSilent);
}

}  // namespace orva::core
