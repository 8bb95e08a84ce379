// The command-line scan and the port check over any list of elements.
//
// Input: the elements, separated by zero bytes (element 0 stands for the program path).
//
// The scan deletes the old output file of -F, so the target keeps every such name inside its
// own folder: a name with a directory part is moved below the folder, and inputs with ".."
// are skipped. Element 0 and the port-argument rules stay as they are.
#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/state.h"
#include "fuzz_support.h"

namespace {

bool NamesOutputFile(const std::string& element) {
    if (element.size() < 2 || (element[0] != '-' && element[0] != '/') ||
        (element[1] != 'F' && element[1] != 'f')) {
        return false;
    }
    std::string upper;
    for (char c : element) {
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return upper.find("COM") == upper.npos && upper.find("USB") == upper.npos &&
           upper.find("LAN") == upper.npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const orva::fuzz::Sandbox sandbox("cmdline");
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    for (std::string& element : args) {
        if (!NamesOutputFile(element)) {
            continue;
        }
        if (element.find("..") != std::string::npos) {
            return 0;
        }
        const std::string name = element.substr(2);
        if (name.find('/') != std::string::npos) {
            element = element.substr(0, 2) + sandbox.Path().string() + "/" +
                      (name.front() == '/' ? name.substr(1) : name);
        }
    }

    orva::core::ResetState();
    const orva::app::ScanResult result = orva::app::ScanCommandLine(args, sandbox.Path().string());
    const orva::core::RunOptions& options = orva::core::Options();
    ORVA_FUZZ_CHECK(options.librarySuffix.size() <= 3);
    ORVA_FUZZ_CHECK(!options.tempDir.empty());
    ORVA_FUZZ_CHECK(options.writeFile == !options.outputFileName.empty());
    if (result == orva::app::ScanResult::Continue) {
        const int port = orva::app::CheckPortArgument();
        if (port != 0) {
            ORVA_FUZZ_CHECK(orva::core::Options().portNumber == static_cast<std::uint16_t>(port));
        }
    }
    orva::core::ResetState();
    return 0;
}
