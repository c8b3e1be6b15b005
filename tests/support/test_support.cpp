#include "tests/support/test_support.h"

#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/job/system.h"

#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

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
    DropPending();  // what an earlier window left behind isn't this one's
    s_window = window_;
}

Collector::~Collector() {
    Drain();
    s_window = nullptr;
    DestroyWindow(window_);
    DropPending();
}

void Collector::Drain() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool Collector::WaitForDone(DWORD timeoutMilliseconds) {
    return WaitUntil([this] { return doneCount > 0; }, timeoutMilliseconds);
}

bool Collector::WaitUntil(const std::function<bool()>& done, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
        Drain();
    }
    return true;
}

bool Collector::RunWhileTaking(const std::function<void()>& work,
                               const std::function<void()>& afterTaking,
                               DWORD timeoutMilliseconds) {
    std::atomic<bool> ended{false};
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        ended = true;
        PostMessageW(window_, WM_NULL, 0, 0);  // wakes the wait below
    });
    const bool inTime = WaitUntil(
        [&] {
            afterTaking();
            return ended.load();
        },
        timeoutMilliseconds);
    worker.join();
    Drain();
    if (failure) std::rethrow_exception(failure);
    return inTime;
}

bool Eventually(const std::function<bool()>& condition, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
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
        case kLogMessage:
            self->TakeLines();
            return 0;
        case kStatusMessage:
            self->TakeStatusText();
            return 0;
        case kProgressMessage:
            self->TakeProgressValue();
            return 0;
        case kDoneMessage: {
            auto text = TakePayload(lParam);
            // As the window does: what is still pending comes before the end.
            self->TakeLines();
            self->TakeStatusText();
            self->TakeProgressValue();
            if (self->onDone) self->onDone();
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

void Collector::TakeLines() {
    const PendingLog pending = TakeLog();
    if (pending.text.empty()) return;
    ++logBatches;
    if (pending.replace) logsDropped = true;
    // Every line of a batch ends with CR LF.
    size_t start = 0;
    for (size_t end; (end = pending.text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2) {
        std::wstring line = pending.text.substr(start, end - start);
        events.push_back({kLogMessage, line, 0});
        logs.push_back(std::move(line));
    }
}

void Collector::TakeStatusText() {
    auto text = TakeStatus();
    if (!text) return;
    events.push_back({kStatusMessage, *text, 0});
    statuses.push_back(std::move(*text));
}

void Collector::TakeProgressValue() {
    const auto value = TakeProgress();
    if (!value) return;
    progress.push_back(*value);
    events.push_back({kProgressMessage, L"", *value});
}

constexpr wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

SystemProxySetting::SystemProxySetting(const std::string& proxy, const std::string& bypass,
                                       const std::string& script) {
    auto dword = [](std::size_t value) { return std::string(reinterpret_cast<char*>(&value), 4); };
    // Version, counter, flags (1 direct, 2 a proxy, 4 a setup script), then counted texts.
    const std::size_t flags = 1 | (proxy.empty() ? 0 : 2) | (script.empty() ? 0 : 4);
    const std::string value = dword(0x46) + dword(1) + dword(flags) + dword(proxy.size()) + proxy +
                              dword(bypass.size()) + bypass + dword(script.size()) + script +
                              std::string(32, '\0');
    RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", REG_BINARY,
                    value.data(), static_cast<DWORD>(value.size()));
}

SystemProxySetting::~SystemProxySetting() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
}

namespace {

struct FakeState {
    std::mutex lock;
    std::optional<std::uint64_t> freeBytes;
    int answer = IDNO;
    std::vector<FakeSystem::Question> questions;
    std::vector<fs::path> queriedPaths;
    FreeBytesQuery realFreeBytes = nullptr;
    MessageBoxCall realMessageBox = nullptr;
    std::function<void()> afterQuestion;
    std::function<void()> onQuery;
};

FakeState& Fake() {
    static FakeState state;
    return state;
}

std::optional<std::uint64_t> FakeFreeBytes(const fs::path& path) {
    std::function<void()> action;
    std::optional<std::uint64_t> free;
    {
        std::lock_guard lock(Fake().lock);
        Fake().queriedPaths.push_back(path);
        action = Fake().onQuery;
        free = Fake().freeBytes;
    }
    if (action) action();
    return free;
}

int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    std::function<void()> after;
    int answer = IDNO;
    {
        std::lock_guard lock(Fake().lock);
        Fake().questions.push_back({owner, text ? text : L"", caption ? caption : L"", type});
        after = Fake().afterQuestion;
        answer = Fake().answer;
    }
    if (after) after();
    return answer;
}

}  // namespace

FakeSystem::FakeSystem(std::optional<std::uint64_t> freeBytes, int answer) {
    std::lock_guard lock(Fake().lock);
    Fake().freeBytes = freeBytes;
    Fake().answer = answer;
    Fake().questions.clear();
    Fake().queriedPaths.clear();
    Fake().afterQuestion = nullptr;
    Fake().onQuery = nullptr;
    Fake().realFreeBytes = s_freeBytes;
    Fake().realMessageBox = s_messageBox;
    s_freeBytes = FakeFreeBytes;
    s_messageBox = FakeMessageBox;
}

FakeSystem::~FakeSystem() {
    std::lock_guard lock(Fake().lock);
    s_freeBytes = Fake().realFreeBytes;
    s_messageBox = Fake().realMessageBox;
    Fake().afterQuestion = nullptr;
    Fake().onQuery = nullptr;
}

std::vector<FakeSystem::Question> FakeSystem::questions() const {
    std::lock_guard lock(Fake().lock);
    return Fake().questions;
}

void FakeSystem::AfterQuestion(std::function<void()> action) {
    std::lock_guard lock(Fake().lock);
    Fake().afterQuestion = std::move(action);
}

void FakeSystem::OnQuery(std::function<void()> action) {
    std::lock_guard lock(Fake().lock);
    Fake().onQuery = std::move(action);
}

std::vector<fs::path> FakeSystem::queriedPaths() const {
    std::lock_guard lock(Fake().lock);
    return Fake().queriedPaths;
}

void EnsureJobObject() {
    if (!s_job) s_job = CreateKillOnCloseJob();
    if (!s_job) throw std::runtime_error("no job object");
}

fs::path StandIn(std::wstring_view name) {
    // Test programs live in <build>/tests/<area>, benchmarks in <build>/bench.
    const std::wstring fileName = std::wstring(name) + L".exe";
    for (fs::path folder = ThisProgramFolder(); folder.has_relative_path();
         folder = folder.parent_path()) {
        const fs::path candidate = folder / L"standins" / name / fileName;
        std::error_code error;
        if (fs::exists(candidate, error)) return candidate;
    }
    throw std::runtime_error("stand-in not built");
}

std::wstring ChildCommand(std::wstring_view arguments) {
    return Quote(StandIn(L"child")) + L" " + std::wstring(arguments);
}

std::string ChildLine(unsigned long number, size_t bytesWithoutTerminator) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "line %07lu ", number);
    std::string line = prefix;
    if (line.size() < bytesWithoutTerminator)
        line.append(bytesWithoutTerminator - line.size(), 'x');
    return line;
}

namespace {

// SystemExtendedHandleInformation (64): one entry per handle of every process.
constexpr ULONG kExtendedHandleInformation = 64;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

}  // namespace

std::optional<size_t> CountHandles() {
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(
            static_cast<SYSTEM_INFORMATION_CLASS>(kExtendedHandleInformation), buffer.data(),
            static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(needed + 4096, buffer.size() * 2));
            continue;
        }
        if (status < 0) return std::nullopt;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    size_t count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == self) ++count;
    return count;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void MarkMadeBySetup(const fs::path& toolFolder) {
    fs::create_directories(toolFolder);
    WriteBytes(toolFolder / maintenance::kSetupMarker, "");
}

bool MakeFolderLink(const fs::path& link, const fs::path& target) {
    // Wine's own export: the Unix name of a path in the prefix, on the process heap.
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    std::wstring command = L"ln -s";
    for (const fs::path* path : {&target, &link}) {
        char* name = unixName(path->c_str());
        if (!name) return false;
        command += L" \"" + Widen(name) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    // Wine starts a Linux program detached: its handle tells nothing, the link showing does.
    STARTUPINFOW startup{.cb = sizeof(STARTUPINFOW)};
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return Eventually(
        [&] { return maintenance::EntryOf(link).value_or(maintenance::Entry{}).link; }, 10000);
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

std::wstring ShownText(HWND control, const std::wstring& text) {
    wchar_t name[8] = {};
    GetClassNameW(control, name, 8);
    const bool label =
        !_wcsicmp(name, L"Static") && !(GetWindowLongPtrW(control, GWL_STYLE) & SS_NOPREFIX);
    if (_wcsicmp(name, L"Button") && !label) return text;
    std::wstring shown;
    for (size_t i = 0; i < text.size(); ++i)
        shown += text[i] == L'&' && i + 1 < text.size() ? text[++i] : text[i];
    return shown;
}

}  // namespace murk::test
