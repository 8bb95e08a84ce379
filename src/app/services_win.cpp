// Windows half of the services: ending a running instance found by its window caption.
#include <windows.h>

#include <string>

#include "app/services.h"

namespace orva::app {

void SystemServices::CloseWindowByCaption(std::string_view caption) {
    const std::string text(caption);
    if (HWND other = FindWindowA(nullptr, text.c_str()); other != nullptr) {
        PostMessageA(other, WM_CLOSE, 0, 0);
    }
}

}  // namespace orva::app
