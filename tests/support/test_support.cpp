#include "support/test_support.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/platform.h"
#include "core/sleep.h"

namespace orva::test {

TempFolder::TempFolder(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / (tag + "-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directories(path_)) {
            break;
        }
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::WithSeparator() const {
    return path_.string() + core::kDirSeparator;
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        for (std::size_t i = 0; i < word.size(); i += 2) {
            out.push_back(static_cast<std::uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
        }
    }
    return out;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out.push_back(' ');
        }
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

std::optional<std::filesystem::path> SamplesDir() {
    std::filesystem::path dir = ORVA_SAMPLES_DIR;
    if (auto env = core::GetEnv("ORVA_SAMPLES_DIR")) {
        dir = *env;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(dir / "egk_bin", ec)) {
        return dir;
    }
    return std::nullopt;
}

namespace {
std::mutex gWaitsMutex;
std::vector<unsigned> gWaits;
void RecordSleep(unsigned milliseconds) {
    std::lock_guard lock(gWaitsMutex);
    gWaits.push_back(milliseconds);
}
}  // namespace

FastSleep::FastSleep() {
    {
        std::lock_guard lock(gWaitsMutex);
        gWaits.clear();
    }
    core::SetSleepFunction(&RecordSleep);
}

FastSleep::~FastSleep() {
    core::SetSleepFunction(nullptr);
}

std::vector<unsigned> FastSleep::Waits() const {
    std::lock_guard lock(gWaitsMutex);
    return gWaits;
}

}  // namespace orva::test
