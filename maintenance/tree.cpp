#include "maintenance/tree.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace murk::maintenance {

std::uint64_t s_patienceMilliseconds = 10'000;

namespace {

namespace fs = std::filesystem;

struct FindCloser {
    void operator()(HANDLE find) const noexcept { FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// A junction, a mount point and a symbolic link carry a name-surrogate tag. A reparse point
// whose tag is 0 (what Wine shows for a Unix symbolic link) or unreadable counts as one too;
// any other tag (a cloud placeholder, a deduplicated file) marks an ordinary file or folder.
bool IsLink(const WIN32_FIND_DATAW& data) {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0);
}

Entry ToEntry(fs::path path, const WIN32_FIND_DATAW& data, int depth) {
    Entry entry{.path = std::move(path),
                .folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                .link = IsLink(data),
                .depth = depth};
    if (entry.PlainFile())
        entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return entry;
}

bool IsDotOrDotDot(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Hands each entry of folder to each(), which returns false to stop. Returns the Win32 error
// that cut the listing short, 0 when it ran to its end or was stopped.
template <class Each>
DWORD List(const fs::path& folder, int depth, Each&& each) {
    WIN32_FIND_DATAW data;
    const HANDLE raw = FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &data,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;  // a drive root with nothing on it
    }
    const FindHandle find(raw);
    do {
        if (IsDotOrDotDot(data.cFileName)) continue;
        if (!each(ToEntry(folder / data.cFileName, data, depth))) return 0;
    } while (FindNextFileW(raw, &data));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

using Visit = std::function<WalkOn(const Entry&)>;

// False when the walk is to end: visit said stop, or a listing failed (failed is then set).
bool WalkFolder(const fs::path& folder, int depth, const Visit& visit, bool& failed) {
    bool goOn = true;
    const DWORD error = List(folder, depth, [&](const Entry& entry) {
        const WalkOn next = visit(entry);
        if (next == WalkOn::kStop) return goOn = false;
        if (next == WalkOn::kGoOn && entry.PlainFolder())
            goOn = WalkFolder(entry.path, depth + 1, visit, failed);
        return goOn;
    });
    if (error == ERROR_ACCESS_DENIED) return goOn;
    if (error) {
        failed = true;
        return false;
    }
    return goOn;
}

constexpr std::uint64_t kFirstPause = 50;
constexpr std::uint64_t kLongestPause = 1000;
// A user's Cancel is answered within this while Setup waits.
constexpr DWORD kCancelPoll = 10;

// What another program holding the entry makes a deletion fail with. A folder whose files were
// deleted while a scanner held them (with delete sharing) isn't empty until it lets them go.
bool Held(DWORD error, bool folder) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || (folder && error == ERROR_DIR_NOT_EMPTY);
}

// Sleeps up to milliseconds, taking them from the time left; false when cancelled, which ends
// all waiting.
bool Pause(Patience& patience, std::uint64_t milliseconds) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG end = start + std::min(milliseconds, patience.left);
    for (ULONGLONG now = start; now < end; now = GetTickCount64()) {
        if (patience.cancelled && patience.cancelled()) {
            patience.left = 0;
            return false;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(end - now, kCancelPoll)));
    }
    const std::uint64_t waited = GetTickCount64() - start;
    patience.left -= std::min(waited, patience.left);
    return true;
}

bool ClearReadOnly(const fs::path& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

// The one place an entry is deleted. wait: the entry may be waited for (a folder isn't when
// something in it stayed: it can't become empty).
RemoveFailure DeleteOne(const Entry& entry, Patience* patience, bool wait) {
    bool cleared = false;
    std::uint64_t pause = kFirstPause;
    for (;;) {
        const BOOL deleted =
            entry.folder ? RemoveDirectoryW(entry.path.c_str()) : DeleteFileW(entry.path.c_str());
        if (deleted) return {};
        const DWORD error = GetLastError();
        if (NothingThere(error)) return {};
        if (entry.link || !patience) return {entry.path, error, entry.link};
        // Once: a file that stays read-only after that is held so by something else.
        if (error == ERROR_ACCESS_DENIED && !entry.folder && patience->clearReadOnly && !cleared) {
            cleared = true;
            if (ClearReadOnly(entry.path)) continue;
        }
        if (!wait || !Held(error, entry.folder) || patience->left == 0 || !Pause(*patience, pause))
            return {entry.path, error};
        pause = std::min(pause * 2, kLongestPause);
    }
}

RemoveFailure RemoveEntry(const Entry& entry, Patience* patience) {
    RemoveFailure first;
    if (entry.PlainFolder()) {
        // Listed whole before anything goes: deleting while listing may skip entries.
        std::vector<Entry> inside;
        const DWORD error = List(entry.path, entry.depth + 1, [&inside](Entry&& child) {
            inside.push_back(std::move(child));
            return true;
        });
        if (error && !NothingThere(error)) first = {entry.path, error};
        for (const Entry& child : inside) {
            RemoveFailure failure = RemoveEntry(child, patience);
            if (first.path.empty()) first = std::move(failure);
        }
    }
    RemoveFailure own = DeleteOne(entry, patience, first.path.empty());
    if (first.path.empty()) first = std::move(own);
    return first;
}

}  // namespace

bool NothingThere(unsigned long error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsPlainFolder(const fs::path& path) {
    const std::optional<Entry> entry = EntryOf(path);
    return entry && entry->PlainFolder();
}

bool IsPlainFile(const fs::path& path) {
    const std::optional<Entry> entry = EntryOf(path);
    return entry && entry->PlainFile();
}

std::optional<Entry> EntryOf(const fs::path& path, unsigned long* error) {
    const auto fail = [error](DWORD code) -> std::optional<Entry> {
        if (error) *error = code;
        return std::nullopt;
    };
    // A drive root has no entry in a parent listing; it is a folder and never a link.
    if (!path.has_relative_path()) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return fail(GetLastError());
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return fail(ERROR_DIRECTORY);
        return Entry{.path = path, .folder = true};
    }
    // The listing takes a name as a pattern; a name with a wildcard in it isn't one.
    const fs::path name = path.has_filename() ? path : path.parent_path();
    if (name.filename().native().find_first_of(L"*?") != std::wstring::npos)
        return fail(ERROR_INVALID_NAME);
    WIN32_FIND_DATAW data;
    const HANDLE raw =
        FindFirstFileExW(name.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (raw == INVALID_HANDLE_VALUE) return fail(GetLastError());
    const FindHandle find(raw);
    return ToEntry(path, data, 0);
}

bool Walk(const fs::path& folder, const Visit& visit) {
    const std::optional<Entry> top = EntryOf(folder);
    if (!top || !top->PlainFolder()) return true;
    bool failed = false;
    WalkFolder(folder, 0, visit, failed);
    return !failed;
}

RemoveFailure RemoveAll(const fs::path& path, Patience* patience) {
    DWORD error = 0;
    const std::optional<Entry> entry = EntryOf(path, &error);
    if (!entry) return NothingThere(error) ? RemoveFailure{} : RemoveFailure{path, error};
    return RemoveEntry(*entry, patience);
}

bool IsEmptyFolder(const fs::path& folder) {
    const std::optional<Entry> top = EntryOf(folder);
    if (!top || !top->PlainFolder()) return false;
    bool empty = true;
    const DWORD error = List(folder, 0, [&empty](const Entry&) { return empty = false; });
    return empty && !error;
}

}  // namespace murk::maintenance
