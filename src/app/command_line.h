// The command-line scan and the port check, run once by start-up before anything else.
//
//   ORVA <COMx> | <USB> | <LAN[x]> [-E | -U | --] [-F[file]] [-Lxx] [-D] [-S] [-I]
//
// Every element is examined, the program path (element 0) included. An element that contains
// COM, USB or LAN in any case is the port argument (the last one wins), even when it begins with
// "-" or "/". Any other element beginning with "-" or "/" is an option named by its second
// character; unknown options and other elements are ignored.
#pragma once

#include <string>
#include <vector>

namespace orva::app {

inline constexpr char kVersionText[] = "vIvavod EVI Version 1.27";

// The usage text (caption: kVersionText), shown when the port argument is missing or invalid.
extern const char kUsageText[];

enum class ScanResult { Continue, EndRunningInstance };

// Fills the options, TempDir, the output file name, the port name and the library suffix;
// sets the Version, Parameter and nameFile labels; deletes an old output file.
// tempBase is the platform's folder for intermediate files (core::TempBase()).
ScanResult ScanCommandLine(const std::vector<std::string>& args, const std::string& tempBase);

// The port number from the port name (0 = missing or invalid). On success appends
// "Port=<port name>" to the command log and sets the port number.
int CheckPortArgument();

}  // namespace orva::app
