// Shared by the fuzz targets: a private folder for the files a target hands to the code under
// test, and a stop that libFuzzer reports with the input that caused it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

namespace orva::fuzz {

// A folder of its own for this process, removed when the process ends; in memory (/dev/shm)
// where there is one, since a file system on disk flushes every replaced file. Its name holds
// digits and lower-case letters only (no "com", "usb" or "lan"), so that it never reads as a
// port.
class Sandbox {
  public:
    explicit Sandbox(const char* tag)
        : path_((std::filesystem::is_directory("/dev/shm")
                     ? std::filesystem::path("/dev/shm")
                     : std::filesystem::temp_directory_path()) /
                ("orva-fuzz-" + std::string(tag) + "-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~Sandbox() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Creates or replaces the file in the folder.
    std::filesystem::path Write(const std::string& name,
                                std::span<const std::uint8_t> bytes) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file;
    }

  private:
    std::filesystem::path path_;
};

// A broken promise of the code under test: print it and abort, so that libFuzzer keeps the
// input as a crash.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

#define ORVA_FUZZ_CHECK(condition)            \
    do {                                      \
        if (!(condition)) {                   \
            ::orva::fuzz::Broken(#condition); \
        }                                     \
    } while (false)

}  // namespace orva::fuzz
