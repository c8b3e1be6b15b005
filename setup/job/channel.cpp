#include "setup/job/channel.h"

#include "setup/job/process.h"

#include <cstdint>
#include <optional>

namespace murk::setup {

HWND s_window = nullptr;
UniqueHandle s_logFile;
std::mutex s_logLock;

namespace {

// A log past this at the start of a job makes way for a new one: players attach it to reports,
// and each build adds tens of MB. The one before stays, as setup.old.log.
constexpr std::uint64_t kLogRotationBytes = 16ull << 20;

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

// The text in UTF-8 into bytes, which it replaces. Ill-formed UTF-16 comes out as U+FFFD.
void Utf8Into(std::wstring_view text, std::string& bytes) {
    bytes.clear();
    if (text.empty()) return;
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    bytes.resize(static_cast<std::size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
}

// One line's bytes, kept between lines so that logging allocates nothing once it has grown.
std::string s_logLine;

// The line in UTF-8, every line end in it and after it as CR LF, in one write: a line goes to
// the end of the file whole, however others append meanwhile. Under s_logLock.
void WriteLogLine(std::wstring_view text) {
    Utf8Into(text, s_logLine);
    // A line end inside the text (the final message has some) reaches the disk as CR LF too.
    for (std::size_t at = s_logLine.find('\n'); at != std::string::npos;
         at = s_logLine.find('\n', at + 2))
        s_logLine.insert(at, 1, '\r');
    s_logLine += "\r\n";
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(s_logLine.size());
    // A failed write (a full disk) leaves the file alone for the rest of the job.
    if (!WriteFile(s_logFile.get(), s_logLine.data(), bytes, &written, nullptr) || written != bytes)
        s_logFile.reset();
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
    std::string bytes;
    Utf8Into(text, bytes);
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
        if (s_logFile) WriteLogLine(text);
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
    if (s_logFile) return;
    const std::filesystem::path file = folder / L"setup.log";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        ((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >
            kLogRotationBytes)
        // Open elsewhere (an editor) it stays, and the job appends to it as before.
        MoveFileExW(file.c_str(), (folder / L"setup.old.log").c_str(), MOVEFILE_REPLACE_EXISTING);
    s_logFile = OwnFileHandle(CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CloseLog() {
    std::lock_guard lock(s_logLock);
    s_logFile.reset();
}

}  // namespace murk::setup
