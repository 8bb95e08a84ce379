// Linux half of the services: there is no window system to search, so ending a running
// instance ("--") is reported instead of done.
#include <cstdio>

#include "app/services.h"

namespace orva::app {

void SystemServices::CloseWindowByCaption(std::string_view) {
    std::fputs("Hinweis: -- (laufendes ORVA beenden) wird unter Linux nicht unterst\xC3\xBCtzt\n",
               stderr);
}

}  // namespace orva::app
