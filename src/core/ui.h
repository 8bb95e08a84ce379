// The seam between the subsystems and the window. Everything the card reading, the serial
// protocol, delivery and start-up do to the user interface goes through it: the Win32 window,
// the console front end and the recording fake of the tests implement it.
//
// All texts are Windows-1252 bytes; the implementation converts them for display. Calls may
// come from the reader thread or the serial event thread; an implementation that owns a GUI
// marshals them to its own thread.
#pragma once

#include <string>
#include <string_view>

namespace orva::core {

enum class BoxIcon { None, Warning };

struct MessageBoxSpec {
    std::string caption;
    std::string text;
    BoxIcon icon = BoxIcon::None;
    bool systemModal = false;  // no owner window, MB_SYSTEMMODAL
};

enum class Label { Version, Parameter, NameFile };

class Ui {
  public:
    virtual ~Ui() = default;

    virtual void SetStatus(std::string_view text) = 0;
    virtual void AppendHexlist(std::string_view line) = 0;
    virtual void RepaintHexlist() = 0;
    virtual void AppendMemo(std::string_view line) = 0;
    virtual void SetLabel(Label label, std::string_view text) = 0;
    virtual void SetCaption(std::string_view text) = 0;
    virtual bool DelRecordTicked() = 0;

    virtual bool IsMinimised() = 0;
    virtual void SetMinimised(bool minimised) = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual void BringToFront() = 0;
    // The compact view: Status, ButtonAbbruch and the labels only, 120 pixels high.
    virtual void ShowCompactView() = 0;

    // Shows a box with an OK button and returns when it is closed.
    virtual void ShowMessage(const MessageBoxSpec& box) = 0;
    // Posts WM_CLOSE to the application's own window (closing runs FormClose).
    virtual void PostClose() = 0;
    // Asks the application to end its message loop at the next turn, without FormClose.
    virtual void RequestTerminate() = 0;
    // Handles the window's pending messages; GUI thread only (a wait on the GUI thread calls it
    // to keep the window responsive).
    virtual void PumpMessages() = 0;
};

// The window of this process. Never null: until a front end installs itself, a silent
// implementation that does nothing stands in.
Ui& GetUi();
void SetUi(Ui* ui);

}  // namespace orva::core
