// Runs a command line through /bin/sh, which performs the output redirection, and waits.
#include <sys/wait.h>

#include <cstdlib>

#include "record/compose.h"

namespace orva::record {

int RunCommand(const std::string& commandLine) {
    const int status = std::system(commandLine.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace orva::record
