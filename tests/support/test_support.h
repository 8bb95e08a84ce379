// Small helpers shared by the test suites.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orva::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
  public:
    explicit TempFolder(const std::string& tag = "orva");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The folder as the program writes it: with the trailing directory separator.
    std::string WithSeparator() const;

  private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Hex(const std::string& text);     // "90 00" -> {0x90, 0x00}
std::string ToHex(const std::vector<std::uint8_t>& bytes);  // {0x90, 0x00} -> "90 00"

// The folder of public test-card samples beside the repository, when it exists.
std::optional<std::filesystem::path> SamplesDir();

// Replaces the program's sleep with one that records the waits and returns at once, for the
// life of the object.
class FastSleep {
  public:
    FastSleep();
    ~FastSleep();
    FastSleep(const FastSleep&) = delete;
    FastSleep& operator=(const FastSleep&) = delete;
    std::vector<unsigned> Waits() const;
};

}  // namespace orva::test
