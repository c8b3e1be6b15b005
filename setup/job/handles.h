#pragma once
// Owners for the platform's handles and interfaces, so that every path, including
// exceptions, releases what it opened.

#include <windows.h>
#include <unknwn.h>

#include <memory>

namespace murk::setup {

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};

// A kernel handle from a creator that fails with NULL (most of them).
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// A kernel handle from a creator that fails with INVALID_HANDLE_VALUE (CreateFileW and kin):
// the failure value becomes an empty owner.
inline UniqueHandle OwnFileHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct ComReleaser {
    void operator()(IUnknown* object) const noexcept { object->Release(); }
};

// A COM interface pointer that is released once.
template <class Interface>
using ComPtr = std::unique_ptr<Interface, ComReleaser>;

struct CoTaskMemFreer {
    void operator()(void* memory) const noexcept { CoTaskMemFree(memory); }
};

struct LocalFreer {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

struct GlobalFreer {
    void operator()(void* memory) const noexcept { GlobalFree(memory); }
};

struct ModuleFreer {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};

// A loaded DLL, freed once.
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// A window's device context from GetDC, released to that window.
class WindowContext {
  public:
    explicit WindowContext(HWND window) : window_(window), context_(GetDC(window)) {}
    ~WindowContext() {
        if (context_) ReleaseDC(window_, context_);
    }
    WindowContext(const WindowContext&) = delete;
    WindowContext& operator=(const WindowContext&) = delete;
    HDC get() const { return context_; }

  private:
    HWND window_;
    HDC context_;
};

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};

// Enters a single-threaded COM apartment for the current thread, and leaves it only if it
// was entered.
class ComApartment {
  public:
    ComApartment() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (entered_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    bool entered_;
};

}  // namespace murk::setup
