#include "setup/job/channel.h"

#include "setup/job/process.h"

#include <optional>

namespace murk::setup {

HWND s_window = nullptr;
std::ofstream s_logFile;
std::mutex s_logLock;

namespace {

// Retrying the end report is worth a short nap: the window drains its queue meanwhile.
constexpr DWORD kDoneRetryMilliseconds = 5;
// Closing the window cancels the job and then waits for it without handling messages, so a
// full queue never drains: once a cancel is pending, the retries stop after this long.
constexpr ULONGLONG kDoneRetryAfterCancelMilliseconds = 2000;

// PostMessageW with no window would post to the calling thread's own queue, which nobody
// reads: the payload would never be freed. No window means the post fails.
bool Post(UINT message, WPARAM wParam, LPARAM lParam) {
    return s_window && PostMessageW(s_window, message, wParam, lParam);
}

}  // namespace

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

std::wstring Widen(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int size = static_cast<int>(bytes.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    UINT codePage = CP_UTF8;
    if (length <= 0) {
        // Not UTF-8: old tools print in the ANSI code page.
        codePage = CP_ACP;
        length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, text.data(), length);
    return text;
}

bool PostText(UINT message, std::wstring_view text, WPARAM wParam) {
    auto payload = std::make_unique<std::wstring>(text);
    if (!Post(message, wParam, reinterpret_cast<LPARAM>(payload.get()))) return false;
    payload.release();
    return true;
}

void PostProgress(int percent) {
    Post(kProgressMessage, static_cast<WPARAM>(static_cast<INT_PTR>(percent)), 0);
}

void PostDone(bool success, std::wstring_view finalMessage) {
    auto payload = std::make_unique<std::wstring>(finalMessage);
    std::optional<ULONGLONG> cancelSeen;
    // A build that floods the queue can make a post fail; the end report must still arrive.
    while (!Post(kDoneMessage, success ? 1 : 0, reinterpret_cast<LPARAM>(payload.get()))) {
        if (!s_window || !IsWindow(s_window)) return;
        if (s_cancel.load()) {
            const ULONGLONG now = GetTickCount64();
            if (!cancelSeen) cancelSeen = now;
            if (now - *cancelSeen >= kDoneRetryAfterCancelMilliseconds) return;
        }
        Sleep(kDoneRetryMilliseconds);
    }
    payload.release();
}

void Log(std::wstring_view text) {
    {
        std::lock_guard lock(s_logLock);
        if (s_logFile.is_open() && !s_logFile.fail()) {
            const std::string bytes = Utf8(text);
            s_logFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            s_logFile.put('\n');
            s_logFile.flush();
        }
    }
    PostText(kLogMessage, text);
}

void Status(std::wstring_view text) {
    std::wstring marked = L"== ";
    marked += text;
    Log(marked);
    PostText(kStatusMessage, text);
}

void Fail(std::wstring_view message) {
    throw Failed{std::wstring(message)};
}

void OpenLog(const std::filesystem::path& folder) {
    std::lock_guard lock(s_logLock);
    if (s_logFile.is_open()) return;
    // Text mode: every "\n" reaches the disk as CR LF.
    s_logFile.open(folder / L"setup.log", std::ios::out | std::ios::app);
    if (s_logFile.is_open()) s_logFile.clear();
}

void CloseLog() {
    std::lock_guard lock(s_logLock);
    s_logFile.close();
}

}  // namespace murk::setup
