// What the Linux end-to-end drivers share: the folder of the programs, the fixtures, and
// starting a program with arguments and an environment of the test's choosing.
#pragma once

#include <spawn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace orva::e2e {

// The folder of the test driver, where orva, the libraries, GZIP and the simulators lie.
inline std::filesystem::path BinDir() {
    return std::filesystem::canonical("/proc/self/exe").parent_path();
}

inline std::filesystem::path CardsDir() {
    return std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards";
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts program with args and the standard streams that actions set. Its environment is env
// followed by the driver's own without the entries that begin with one of dropped, so that
// TMP and the simulator's settings come from the test alone. False when it did not start.
inline bool Spawn(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env,
                  std::initializer_list<std::string_view> dropped,
                  const posix_spawn_file_actions_t& actions, pid_t& pid) {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        bool keep = true;
        for (std::string_view prefix : dropped) {
            keep = keep && !entry.starts_with(prefix);
        }
        if (keep) {
            envStrings.emplace_back(entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    return posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
}

}  // namespace orva::e2e
