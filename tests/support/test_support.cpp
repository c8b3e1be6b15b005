#include "tests/support/test_support.h"

#include "setup/job/channel.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace murk::test {

namespace fs = std::filesystem;
using namespace murk::setup;

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    path_ =
        fs::path(temp) / (L"murk-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++));
    fs::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
}

namespace {
constexpr wchar_t kCollectorClass[] = L"MurkTestCollector";
}

Collector::Collector() {
    static const ATOM registered = [] {
        WNDCLASSW windowClass{.lpfnWndProc = Procedure,
                              .hInstance = GetModuleHandleW(nullptr),
                              .lpszClassName = kCollectorClass};
        return RegisterClassW(&windowClass);
    }();
    (void)registered;
    window_ = CreateWindowExW(0, kCollectorClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), this);
    if (!window_) throw std::runtime_error("no collector window");
    s_window = window_;
}

Collector::~Collector() {
    Drain();
    s_window = nullptr;
    DestroyWindow(window_);
}

void Collector::Drain() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK Collector::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Collector*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
        case kLogMessage: {
            auto text = TakePayload(lParam);
            self->logs.push_back(*text);
            self->events.push_back({message, *text, 0});
            return 0;
        }
        case kStatusMessage: {
            auto text = TakePayload(lParam);
            self->statuses.push_back(*text);
            self->events.push_back({message, *text, 0});
            return 0;
        }
        case kProgressMessage: {
            const int value = static_cast<int>(static_cast<INT_PTR>(wParam));
            self->progress.push_back(value);
            self->events.push_back({message, L"", value});
            return 0;
        }
        case kDoneMessage: {
            auto text = TakePayload(lParam);
            ++self->doneCount;
            self->doneSuccess = wParam != 0;
            self->doneMessage = *text;
            self->events.push_back({message, *text, static_cast<int>(wParam)});
            return 0;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path ThisProgramFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

fs::path BuiltProgram(const std::wstring& fileName) {
    // Test programs live in tests/<area>/; the stand-ins are built into tests/.
    const fs::path here = ThisProgramFolder();
    for (const fs::path& folder : {here, here.parent_path(), here.parent_path() / L"support"}) {
        std::error_code error;
        if (fs::exists(folder / fileName, error)) return folder / fileName;
    }
    return here / fileName;
}

}  // namespace murk::test
