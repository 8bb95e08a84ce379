// Owners of Win32 handles: each closes what it holds exactly once and can only be moved.
//
// Win32 has two "empty" values: CreateFile answers INVALID_HANDLE_VALUE when it fails, while
// events, threads, processes and file mappings are null then. FileHandle and Handle use the
// right one each; MappedView owns a view of a file mapping (UnmapViewOfFile).
#pragma once

#include <windows.h>

#include <utility>

namespace orva::core {

template <bool kInvalidIsEmpty>
class BasicHandle {
  public:
    static HANDLE Empty() { return kInvalidIsEmpty ? INVALID_HANDLE_VALUE : nullptr; }

    BasicHandle() = default;
    explicit BasicHandle(HANDLE handle) : handle_(handle) {}
    ~BasicHandle() { Reset(); }
    BasicHandle(BasicHandle&& other) noexcept : handle_(other.Release()) {}
    BasicHandle& operator=(BasicHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    BasicHandle(const BasicHandle&) = delete;
    BasicHandle& operator=(const BasicHandle&) = delete;

    explicit operator bool() const { return handle_ != Empty(); }
    HANDLE Get() const { return handle_; }
    HANDLE Release() { return std::exchange(handle_, Empty()); }
    void Reset(HANDLE handle = Empty()) {
        const HANDLE old = std::exchange(handle_, handle);
        if (old != Empty() && old != nullptr) {
            CloseHandle(old);
        }
    }

  private:
    HANDLE handle_ = Empty();
};

// CreateFile (ports, files): INVALID_HANDLE_VALUE when empty.
using FileHandle = BasicHandle<true>;
// Events, threads, processes, file mappings: null when empty.
using Handle = BasicHandle<false>;

class MappedView {
  public:
    MappedView() = default;
    explicit MappedView(void* view) : view_(view) {}
    ~MappedView() { Reset(); }
    MappedView(MappedView&& other) noexcept : view_(std::exchange(other.view_, nullptr)) {}
    MappedView& operator=(MappedView&& other) noexcept {
        if (this != &other) {
            Reset();
            view_ = std::exchange(other.view_, nullptr);
        }
        return *this;
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

    explicit operator bool() const { return view_ != nullptr; }
    void* Get() const { return view_; }
    void Reset() {
        if (void* view = std::exchange(view_, nullptr)) {
            UnmapViewOfFile(view);
        }
    }

  private:
    void* view_ = nullptr;
};

}  // namespace orva::core
