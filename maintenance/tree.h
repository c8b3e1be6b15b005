#pragma once
// Walking and deleting folder trees without ever going through a link. A junction, a mount
// point or a symbolic link is an entry of its own: it is listed as a link, never entered, and
// deleting its parent deletes the link alone, never what it points at. (MinGW's
// std::filesystem takes such a link for the folder it points at, so nothing here uses it.)

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace murk::maintenance {

// A kernel handle, closed once.
struct HandleCloser {
    void operator()(void* handle) const noexcept;
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// One entry as its folder's listing shows it, so a link is told apart from its target.
struct Entry {
    std::filesystem::path path;
    bool folder = false;     // a folder, or a link to one
    bool link = false;       // a junction, mount point or symbolic link: never entered
    std::uint64_t size = 0;  // of a file, as listed
    int depth = 0;           // 0 for an entry directly in the walked folder

    bool PlainFolder() const { return folder && !link; }
    bool PlainFile() const { return !folder && !link; }
};

// The path itself, as its parent folder lists it. Nothing when it can't be looked at; error
// (when given) then holds the Win32 error, ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when
// there is nothing there.
std::optional<Entry> EntryOf(const std::filesystem::path& path, unsigned long* error = nullptr);

// Whether EntryOf's error says there is nothing at the path (ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND), rather than something that can't be looked at.
bool NothingThere(unsigned long error);

// Whether the path is a folder, or a file, and not a link to one.
bool IsPlainFolder(const std::filesystem::path& path);
bool IsPlainFile(const std::filesystem::path& path);

enum class WalkOn {
    kGoOn,
    kDontEnter,  // for a folder: leave out what is in it
    kStop,
};

// Visits every entry below folder, in the order the file system lists them, each folder right
// before what is in it; links are visited but never entered. A folder that is itself a link,
// or no folder, visits nothing. A folder that may not be opened is passed over; any other
// error of a listing ends the walk, and the result is then false.
bool Walk(const std::filesystem::path& folder, const std::function<WalkOn(const Entry&)>& visit);

// What RemoveAll couldn't delete: the first such path and its Win32 error. An empty path when
// everything went.
struct RemoveFailure {
    std::filesystem::path path;
    unsigned long error = 0;
    bool link = false;  // the path is a link: its failure is passed over quietly
};

// How long, in all, the deletions of one tool folder, group or image wait for entries that
// another program holds: 10 s, which no single entry outlasts either. Tests shorten it.
extern std::uint64_t s_patienceMilliseconds;

// Waiting out entries that another program holds for a moment: a scanner looks at what was just
// written, and a delete in that moment fails. One Patience serves all the deletions of one tool
// folder, group or image. An entry is tried again while it fails as held (sharing, lock or access
// violation; a folder also while it isn't empty yet), after a pause that starts at 50 ms and
// doubles up to 1 s, until the time left is spent; then each remaining entry gets one try. A link
// is tried once and never waited for.
struct Patience {
    std::uint64_t left = s_patienceMilliseconds;  // of waiting, for all the entries together
    // Polled while waiting: true ends all waiting at once.
    std::function<bool()> cancelled;
    // A read-only file is deleted all the same (where the system can't ignore the attribute, it
    // loses it first): Setup's own files only (git writes its objects read-only), never a file of
    // the user's. Never a link.
    bool clearReadOnly = false;
};

// Deletes a file, a link (the link itself, never what it points at) or a folder with everything in
// it. Goes on past an entry it can't delete, so as much as possible goes. A path that isn't there
// counts as deleted. Without patience every entry is tried once.
// Each entry is opened, without following a link, relative to the folder it was listed in,
// looked at on that handle and deleted through it: a folder swapped for a link between its listing
// and its deletion is deleted as the link, never entered.
// Entries named in last go, in every folder, after all the others and in that order, and only
// when everything else in their folder went: what marks a folder as unfinished stays as long as
// anything else of it does.
RemoveFailure RemoveAll(const std::filesystem::path& path, Patience* patience = nullptr,
                        std::span<const wchar_t* const> last = {});

// For tests: called by RemoveAll with each entry it listed, before it opens it, so that a test can
// change the tree in that moment as another program could.
extern std::function<void(const Entry&)> s_beforeOpening;

// Whether the folder holds nothing at all; false when it can't be listed.
bool IsEmptyFolder(const std::filesystem::path& folder);

}  // namespace murk::maintenance
