#include "maintenance/tree.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

namespace murk::maintenance {

std::uint64_t s_patienceMilliseconds = 10'000;
std::function<void(const Entry&)> s_beforeOpening;

void HandleCloser::operator()(void* handle) const noexcept {
    CloseHandle(handle);
}

namespace {

namespace fs = std::filesystem;

struct FindCloser {
    void operator()(HANDLE find) const noexcept { FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// A junction, a mount point and a symbolic link carry a name-surrogate tag. A reparse point
// whose tag is 0 (what Wine shows for a Unix symbolic link) or unreadable counts as one too;
// any other tag (a cloud placeholder, a deduplicated file) marks an ordinary file or folder.
bool IsLink(DWORD attributes, DWORD tag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return tag == 0 || IsReparseTagNameSurrogate(tag);
}

Entry ToEntry(fs::path path, DWORD attributes, DWORD tag, std::uint64_t size, int depth) {
    Entry entry{.path = std::move(path),
                .folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                .link = IsLink(attributes, tag),
                .depth = depth};
    if (entry.PlainFile()) entry.size = size;
    return entry;
}

Entry ToEntry(fs::path path, const WIN32_FIND_DATAW& data, int depth) {
    return ToEntry(std::move(path), data.dwFileAttributes, data.dwReserved0,
                   (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                   depth);
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

// The calls of ntdll that open a name relative to a folder's handle, which MinGW's import library
// lacks. ntdll is in every process before its first line runs: nothing can stand in for it.
using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

struct NtCalls {
    NtCreateFileCall createFile = nullptr;
    StatusToErrorCall toError = nullptr;
};

template <class Call>
Call Export(HMODULE module, const char* name) {
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const NtCalls& Nt() {
    static const NtCalls calls = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const NtCalls found{Export<NtCreateFileCall>(ntdll, "NtCreateFile"),
                            Export<StatusToErrorCall>(ntdll, "RtlNtStatusToDosError")};
        return found.createFile && found.toError ? found : NtCalls{};
    }();
    return calls;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry itself, never what a link of that name points at: by its name in the folder
// open as parent, where it was listed, whatever became of the path since; by its path only at the
// top of a removal. The Win32 error, or 0.
DWORD Open(HANDLE parent, const Entry& entry, ACCESS_MASK access, OwnedHandle& opened) {
    const NtCalls& nt = Nt();
    if (!parent || !nt.createFile) {
        const HANDLE raw =
            CreateFileW(entry.path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (raw == INVALID_HANDLE_VALUE) return GetLastError();
        opened.reset(raw);
        return 0;
    }
    const fs::path name = entry.path.filename();
    const auto bytes = static_cast<USHORT>(name.native().size() * sizeof(wchar_t));
    UNICODE_STRING text{
        .Length = bytes, .MaximumLength = bytes, .Buffer = const_cast<PWSTR>(name.c_str())};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &text;
    IO_STATUS_BLOCK status{};
    HANDLE raw = nullptr;
    const NTSTATUS result = nt.createFile(
        &raw, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, kShareAll, FILE_OPEN,
        FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (result < 0) return nt.toError(result);
    opened.reset(raw);
    return 0;
}

// Whether the open entry is a folder and no link, as its own handle shows it.
bool PlainFolderOn(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return false;
    return (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !IsLink(info.FileAttributes, info.ReparseTag);
}

// Where on its volume the open entry lies; empty when the file system doesn't say. Windows opens
// a link as the link itself, but Wine opens what it points at, which lies elsewhere.
std::wstring PlaceOf(HANDLE handle) {
    std::wstring place(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, place.data(), static_cast<DWORD>(place.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
        if (length == 0) return {};
        const bool fits = length < place.size();
        place.resize(length);
        if (fits) return place;
    }
    return {};
}

// Whether place is name in the folder at folderPlace. Unknown places don't tell against it.
bool LiesIn(const std::wstring& folderPlace, const std::wstring& place, const fs::path& name) {
    if (folderPlace.empty() || place.empty()) return true;
    std::wstring expected = folderPlace;
    if (expected.back() != L'\\') expected += L'\\';
    expected += name.native();
    return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), place.c_str(),
                                static_cast<int>(place.size()), TRUE) == CSTR_EQUAL;
}

constexpr std::size_t kListingBytes = 64 * 1024;

// Lists the folder open as handle, whole, into inside. The Win32 error that cut it short, or 0.
DWORD ListOpen(HANDLE handle, const Entry& folder, std::vector<std::byte>& buffer,
               std::vector<Entry>& inside) {
    if (buffer.empty()) buffer.resize(kListingBytes);
    for (bool first = true;; first = false) {
        if (!GetFileInformationByHandleEx(
                handle, first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo, buffer.data(),
                static_cast<DWORD>(buffer.size()))) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? 0 : error;
        }
        for (std::size_t at = 0;;) {
            const auto* item = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.data() + at);
            const std::wstring name(item->FileName, item->FileNameLength / sizeof(wchar_t));
            // The reparse tag stands where the size of extended attributes stands otherwise.
            if (!IsDotOrDotDot(name.c_str()))
                inside.push_back(ToEntry(folder.path / name, item->FileAttributes, item->EaSize,
                                         item->EndOfFile.QuadPart, folder.depth + 1));
            if (!item->NextEntryOffset) break;
            at += item->NextEntryOffset;
        }
    }
}

// FileDispositionInfoEx and its flags, which MinGW declares only for a newer Windows than Setup's.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosix = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// What one RemoveAll keeps on its way down the tree.
struct Removal {
    Patience* patience = nullptr;
    std::span<const wchar_t* const> last;
    std::vector<std::byte> listing;
    bool posix = true;  // POSIX deletion may still work here
};

// Marks the open entry for deletion. POSIX semantics take its name away at once, even while a
// scanner still has it open, so that its folder can go right after; without them (Windows before
// 10 1709, FAT, Wine) it goes when the last handle to it closes.
DWORD MarkForDeletion(HANDLE handle, Removal& removal, bool ignoreReadOnly) {
    if (removal.posix) {
        DWORD flags = kDispositionDelete | kDispositionPosix;
        if (ignoreReadOnly) flags |= kDispositionIgnoreReadOnly;
        if (SetFileInformationByHandle(handle, kDispositionInfoEx, &flags, sizeof flags)) return 0;
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
            error != ERROR_INVALID_FUNCTION)
            return error;
        removal.posix = false;
    }
    FILE_DISPOSITION_INFO info{.DeleteFile = TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info)
               ? 0
               : GetLastError();
}

bool ClearReadOnly(HANDLE file) {
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) ||
        !(info.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    // Times of 0 stay as they are.
    const DWORD attributes = info.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    FILE_BASIC_INFO changed{.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL};
    return SetFileInformationByHandle(file, FileBasicInfo, &changed, sizeof changed);
}

// The one place an entry is deleted: through the very object that listed is open as when it is
// (a folder, looked at and emptied), else opened here from parent. wait: the entry may be waited
// for (a folder isn't when something in it stayed: it can't become empty).
RemoveFailure DeleteOne(Removal& removal, HANDLE parent, const Entry& entry, HANDLE listed,
                        bool wait) {
    Patience* const patience = removal.patience;
    // Setup's own files only: the user's keep their attributes.
    const bool clearReadOnly = patience && patience->clearReadOnly && entry.PlainFile();
    const ACCESS_MASK access =
        DELETE | FILE_READ_ATTRIBUTES | (clearReadOnly ? FILE_WRITE_ATTRIBUTES : 0);
    OwnedHandle handle;
    bool cleared = false;
    std::uint64_t pause = kFirstPause;
    for (;;) {
        DWORD error = 0;
        if (!handle && listed) {
            // The same object again, found by no name: nothing put in its place since can stand in.
            const HANDLE raw =
                ReOpenFile(listed, access, kShareAll,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
            if (raw == INVALID_HANDLE_VALUE)
                error = GetLastError();
            else
                handle.reset(raw);
        } else if (!handle) {
            error = Open(parent, entry, access, handle);
        }
        if (!error) error = MarkForDeletion(handle.get(), removal, clearReadOnly);
        if (!error || NothingThere(error)) return {};
        if (entry.link || !patience) return {entry.path, error, entry.link};
        // Once: a file that stays read-only after that is held so by something else.
        if (error == ERROR_ACCESS_DENIED && clearReadOnly && handle && !cleared) {
            cleared = true;
            if (ClearReadOnly(handle.get())) continue;
        }
        if (!wait || !Held(error, entry.folder) || patience->left == 0 || !Pause(*patience, pause))
            return {entry.path, error};
        pause = std::min(pause * 2, kLongestPause);
    }
}

// Where the entry's name stands in last (from 1), or 0 for any other name.
std::size_t RankOf(const Entry& entry, std::span<const wchar_t* const> last) {
    const fs::path name = entry.path.filename();
    for (std::size_t i = 0; i < last.size(); ++i)
        if (name.native() == last[i]) return i + 1;
    return 0;
}

RemoveFailure RemoveEntry(Removal& removal, HANDLE parent, const std::wstring& parentPlace,
                          const Entry& listed) {
    if (parent && s_beforeOpening) s_beforeOpening(listed);
    if (!listed.PlainFolder()) return DeleteOne(removal, parent, listed, nullptr, true);
    // Without delete access while it is listed and emptied: other programs' listings of it (Wine's
    // don't share deletion) aren't refused meanwhile.
    OwnedHandle handle;
    const DWORD error = Open(parent, listed, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, handle);
    if (error) return NothingThere(error) ? RemoveFailure{} : RemoveFailure{listed.path, error};
    // Gone into only when it is still the folder that was listed: a link put in its place since
    // is deleted as a link.
    const std::wstring place = PlaceOf(handle.get());
    if (!PlainFolderOn(handle.get()) ||
        (parent && !LiesIn(parentPlace, place, listed.path.filename()))) {
        Entry link = listed;
        link.link = true;
        return DeleteOne(removal, parent, link, handle.get(), false);
    }
    // Listed whole before anything goes: deleting while listing may skip entries.
    std::vector<Entry> inside;
    RemoveFailure first;
    if (const DWORD listError = ListOpen(handle.get(), listed, removal.listing, inside))
        first = {listed.path, listError};
    if (!removal.last.empty())
        std::stable_sort(inside.begin(), inside.end(), [&removal](const Entry& a, const Entry& b) {
            return RankOf(a, removal.last) < RankOf(b, removal.last);
        });
    for (const Entry& child : inside) {
        if (RankOf(child, removal.last) && !first.path.empty()) break;
        RemoveFailure failure = RemoveEntry(removal, handle.get(), place, child);
        if (first.path.empty()) first = std::move(failure);
    }
    RemoveFailure own = DeleteOne(removal, parent, listed, handle.get(), first.path.empty());
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

RemoveFailure RemoveAll(const fs::path& path, Patience* patience,
                        std::span<const wchar_t* const> last) {
    DWORD error = 0;
    const std::optional<Entry> entry = EntryOf(path, &error);
    if (!entry) return NothingThere(error) ? RemoveFailure{} : RemoveFailure{path, error};
    Removal removal{.patience = patience, .last = last};
    return RemoveEntry(removal, nullptr, {}, *entry);
}

bool IsEmptyFolder(const fs::path& folder) {
    const std::optional<Entry> top = EntryOf(folder);
    if (!top || !top->PlainFolder()) return false;
    bool empty = true;
    const DWORD error = List(folder, 0, [&empty](const Entry&) { return empty = false; });
    return empty && !error;
}

}  // namespace murk::maintenance
