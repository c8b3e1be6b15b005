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

// The pending slots. A slot is filled exactly while its message is queued or being handled,
// so posting happens under the lock: a post that fails empties its slot at once, and the
// window's take can't slip between the filling and the post.
std::mutex s_pendingLock;
std::wstring s_pendingLog;
bool s_pendingLogReplaces = false;
std::optional<std::wstring> s_pendingStatus;
std::optional<int> s_pendingProgress;

// PostMessageW with no window would post to the calling thread's own queue, which nobody
// reads: the end report's payload would never be freed, and a slot would stay filled with no
// message to empty it. No window means the post fails.
bool Post(UINT message, WPARAM wParam, LPARAM lParam) {
    return s_window && PostMessageW(s_window, message, wParam, lParam);
}

// Frees the memory too: an emptied slot holds nothing (swap, because assigning an empty string
// would keep the old buffer).
void EmptyLogSlot() {
    std::wstring().swap(s_pendingLog);
    s_pendingLogReplaces = false;
}

// More pending than the view keeps: the oldest lines go, down to what a trimmed view holds.
void DropOldestPendingLines() {
    s_pendingLog.erase(0, StartOfLastLines(s_pendingLog, kLogTrimmedTo));
    s_pendingLogReplaces = true;
}

void PendLine(std::wstring_view text) {
    std::lock_guard lock(s_pendingLock);
    const bool wasEmpty = s_pendingLog.empty();
    s_pendingLog.append(text);
    s_pendingLog.append(L"\r\n");
    if (s_pendingLog.size() > kLogKept) DropOldestPendingLines();
    if (wasEmpty && !Post(kLogMessage, 0, 0)) EmptyLogSlot();
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

std::size_t StartOfLastLines(std::wstring_view text, std::size_t count) {
    if (text.size() <= count) return 0;
    const size_t cut = text.size() - count;
    const size_t lineEnd = text.rfind(L'\n', cut - 1);
    return lineEnd == std::wstring_view::npos ? cut : lineEnd + 1;
}

void PostStatus(std::wstring_view text) {
    std::lock_guard lock(s_pendingLock);
    const bool wasEmpty = !s_pendingStatus;
    s_pendingStatus.emplace(text);
    if (wasEmpty && !Post(kStatusMessage, 0, 0)) s_pendingStatus.reset();
}

void PostProgress(int percent) {
    std::lock_guard lock(s_pendingLock);
    const bool wasEmpty = !s_pendingProgress;
    s_pendingProgress = percent;
    if (wasEmpty && !Post(kProgressMessage, 0, 0)) s_pendingProgress.reset();
}

PendingLog TakeLog() {
    std::lock_guard lock(s_pendingLock);
    PendingLog taken;
    taken.text.swap(s_pendingLog);
    taken.replace = s_pendingLogReplaces;
    s_pendingLogReplaces = false;
    return taken;
}

std::optional<std::wstring> TakeStatus() {
    std::lock_guard lock(s_pendingLock);
    std::optional<std::wstring> taken;
    taken.swap(s_pendingStatus);
    return taken;
}

std::optional<int> TakeProgress() {
    std::lock_guard lock(s_pendingLock);
    std::optional<int> taken;
    taken.swap(s_pendingProgress);
    return taken;
}

void DropPending() {
    std::lock_guard lock(s_pendingLock);
    EmptyLogSlot();
    s_pendingStatus.reset();
    s_pendingProgress.reset();
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
    PendLine(text);
}

void Status(std::wstring_view text) {
    std::wstring marked = L"== ";
    marked += text;
    Log(marked);
    PostStatus(text);
}

void Fail(std::wstring_view message) {
    throw Failed{std::wstring(message)};
}

void OpenLog(const std::filesystem::path& folder) {
    std::lock_guard lock(s_logLock);
    if (s_logFile.is_open()) return;
    const std::filesystem::path file = folder / L"setup.log";
    // Appended to, but not through append mode: there the C runtime moves to the end of the
    // file before every write, a system call per line that under Wine costs more than the write
    // itself. Opening for appending only makes the file when it's missing.
    { std::ofstream create(file, std::ios::out | std::ios::app); }
    // Text mode: every "\n" reaches the disk as CR LF.
    s_logFile.open(file, std::ios::in | std::ios::out);
    if (!s_logFile.is_open()) return;
    s_logFile.clear();
    s_logFile.seekp(0, std::ios::end);
}

void CloseLog() {
    std::lock_guard lock(s_logLock);
    s_logFile.close();
}

}  // namespace murk::setup
