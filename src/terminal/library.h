// Platform half of the CT-API binding: opening a shared library, finding a symbol, and the
// owner of a loaded module.
#pragma once

#include <string>
#include <utility>

namespace orva::terminal {

namespace detail {

extern const char* const kLibraryExtension;

// Opens the library the way the platform's search order finds it; null when it cannot.
void* OpenCtApiLibrary(const std::string& fileName);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

}  // namespace detail

// Owns one loaded module (HMODULE or dlopen handle) and releases it once.
class Module {
  public:
    Module() = default;
    explicit Module(void* handle) : handle_(handle) {}
    ~Module() { Reset(); }
    Module(Module&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Module& operator=(Module&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    void* Get() const { return handle_; }
    void Reset() {
        if (void* handle = std::exchange(handle_, nullptr)) {
            detail::CloseLibrary(handle);
        }
    }

  private:
    void* handle_ = nullptr;
};

}  // namespace orva::terminal
