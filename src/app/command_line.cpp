#include "app/command_line.h"

#include <cctype>
#include <string_view>

#include "core/platform.h"
#include "core/state.h"
#include "core/ui.h"

namespace orva::app {

const char kUsageText[] =
    "ORVA <COMx> | <USB> | <LAN[x]> [-E | -U | --] [-F[file]] [-Lxx] [-D]\t\t\t\n"
    "\t-E\tEndlos\n"
    "\t-U\tUnsichtbar\n"
    "\t-F\tDatei schreiben\n"
    "\t-Lxx\tAPI-DLL verwenden\t\t\t\n"
    "\t-S\tDaten nicht an Client senden\n"
    "\t-D\tDebug\n"
    "\t--\tlaufendes ORVA.EXE beenden";

namespace {

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool IsPortArgument(const std::string& upper) {
    return upper.find("COM") != std::string::npos || upper.find("USB") != std::string::npos ||
           upper.find("LAN") != std::string::npos;
}

// Where the directory part of an output file name ends (just after it), 0 when it has none.
std::size_t DirectoryPartLength(const std::string& name) {
#ifdef _WIN32
    const std::size_t last = name.find_last_of("\\:");
#else
    const std::size_t last = name.find_last_of('/');
#endif
    return last == std::string::npos ? 0 : last + 1;
}

void SetUpOutputFile(const std::string& element, const std::string& tempBase) {
    core::RunOptions& options = core::Options();
    options.writeFile = true;
    std::string name = element.size() > 2 ? element.substr(2) : std::string("ORVA.TXT");
    const std::size_t dirLength = DirectoryPartLength(name);
    if (dirLength > 0) {
        options.tempDir = name.substr(0, dirLength);
    } else {
        name = tempBase + core::kDirSeparator + name;
    }
    options.outputFileName = name;
    (void)core::DeleteFileWithErrno(name);  // most often there is none to delete
    core::GetUi().SetLabel(core::Label::NameFile, name);
}

// Reads text as a whole signed integer ("12", "-3", "+7"); 0 when it is empty or not one.
long ParseSignedInteger(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return 0;
    }
    long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

}  // namespace

ScanResult ScanCommandLine(const std::vector<std::string>& args, const std::string& tempBase) {
    core::RunOptions& options = core::Options();
    core::Ui& ui = core::GetUi();
    ui.SetLabel(core::Label::Version, kVersionText);
    options.tempDir = tempBase + core::kDirSeparator;

    std::string parameter;
    for (const std::string& element : args) {
        parameter += element;
        parameter += ' ';
        ui.SetLabel(core::Label::Parameter, parameter);

        const std::string upper = UpperAscii(element);
        if (IsPortArgument(upper)) {
            options.portName = upper;
            continue;
        }
        if (element.size() < 2 || (element[0] != '-' && element[0] != '/')) {
            continue;
        }
        switch (element[1]) {
            case 'E':
            case 'e':
                options.endless = true;
                break;
            case 'U':
            case 'u':
                options.invisible = true;
                break;
            case 'D':
            case 'd':
                options.debug = true;
                break;
            case 'S':
            case 's':
                options.noClientSend = true;
                break;
            case 'I':  // a lower-case i is ignored
                options.readGdo = true;
                break;
            case 'F':
            case 'f':
                SetUpOutputFile(element, tempBase);
                break;
            case 'L':
            case 'l':
                options.librarySuffix = element.substr(2, 3);
                break;
            case '-':
                return ScanResult::EndRunningInstance;
            default:
                break;
        }
    }
    return ScanResult::Continue;
}

int CheckPortArgument() {
    core::RunOptions& options = core::Options();
    const std::string& port = options.portName;
    long number = 0;
    std::size_t p = port.find("COM");
    if (p == std::string::npos) {
        p = port.find("LAN");
    }
    if (p != std::string::npos) {
        number = ParseSignedInteger(std::string_view(port).substr(p + 3, 5));
    } else if (const std::size_t usb = port.find("USB"); usb != std::string::npos) {
        number = static_cast<long>(usb) + 1;
    }
    if (number == 0) {
        return 0;
    }
    core::GetUi().AppendHexlist("Port=" + port);
    options.portNumber = static_cast<std::uint16_t>(number);
    return static_cast<int>(number);
}

}  // namespace orva::app
