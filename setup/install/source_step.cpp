#include "setup/install/source_step.h"

#include "setup/config.h"
#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/tools/http.h"
#include "setup/tools/release.h"

#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <iterator>
#include <optional>
#include <system_error>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLongestTag = 255;
constexpr wchar_t kReleasePath[] = L"/repos/velkrand/murk-recomp/releases/latest";
// The locks git takes outside refs while it works, in .git.
constexpr const wchar_t* kGitLocks[] = {L"index.lock", L"HEAD.lock", L"ORIG_HEAD.lock",
                                        L"packed-refs.lock"};
// In .git from before a checkout or pull until it has succeeded: a working copy with this file
// holds changes of Setup's own, left by an update that was cut off (a cancel, a crash, a power
// cut), not the user's.
constexpr wchar_t kUpdatingMarker[] = L"murk-setup-updating";

// A lock file that a git stopped halfway (by a cancel, a shutdown) left behind: every later git
// that wants it fails, and the update would silently build old code for good. Only a plain
// file goes; one that a running git holds open can't be deleted and stays.
void RemoveLock(const fs::path& gitFolder, const fs::path& inside) {
    const fs::path file = gitFolder / inside;
    if (!maintenance::IsPlainFile(file)) return;
    if (!DeleteFileW(file.c_str())) return;
    Log(L"(removed .git\\" + inside.native() + L", left by a git that was stopped)");
}

// Setup holds the folder's lock, so no git of its own runs there now.
void RemoveStaleLocks(const fs::path& repository) {
    const fs::path gitFolder = repository / L".git";
    if (!maintenance::IsPlainFolder(gitFolder)) return;
    for (const wchar_t* lock : kGitLocks)
        RemoveLock(gitFolder, lock);
    // Below refs, a link is an entry, never a way in.
    maintenance::Walk(gitFolder / L"refs", [&gitFolder](const maintenance::Entry& entry) {
        if (entry.PlainFile() && entry.path.native().ends_with(L".lock"))
            RemoveLock(gitFolder, entry.path.lexically_relative(gitFolder));
        return maintenance::WalkOn::kGoOn;
    });
}

// The newest release's tag. It comes from the network and goes into a command line unquoted,
// so anything that isn't plainly a tag name is replaced by the program's own.
std::wstring ReleaseTag(const std::wstring& releaseUrl) {
    std::string document;
    const bool found = Get(releaseUrl, &document, nullptr, nullptr);
    // A cancel during the lookup ends the job here: the clone that follows would not see it
    // before it had run to its end.
    CheckCancel();
    if (!found) return FallbackTag();
    const std::optional<std::string> tag = FindTagName(document);
    if (!tag) return FallbackTag();
    std::wstring text = Widen(*tag);
    return PlausibleTag(text) ? text : FallbackTag();
}

// What git (with OpenSSL or schannel) says when it can't verify the server's certificate: most
// often an antivirus or a company network that inspects secure connections.
constexpr std::string_view kCertificateProblems[] = {"ssl certificate problem",
                                                     "certificate verify failed",
                                                     "unable to get local issuer certificate",
                                                     "0x80092012",
                                                     "0x80092013",
                                                     "sec_e_untrusted_root"};

constexpr wchar_t kUnverified[] =
    L"Couldn't download the source code from GitHub: git couldn't verify GitHub's certificate. An "
    L"antivirus that scans secure connections, or a company network, may be intercepting them.";

bool TellsOfCertificateProblem(std::string line) {
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::any_of(std::begin(kCertificateProblems), std::end(kCertificateProblems),
                       [&line](std::string_view text) { return line.find(text) != line.npos; });
}

void Clone(const fs::path& installFolder, const fs::path& repository, std::string_view repoUrl) {
    std::error_code error;
    if (fs::exists(repository, error)) {
        std::error_code emptyError;
        const bool empty = fs::is_empty(repository, emptyError);
        if (emptyError || !empty)
            Fail(repository.native() +
                 L" already exists and isn't a copy of the project. Choose another folder.");
    }
    const std::wstring command = L"git clone " + Widen(repoUrl) + L" " + Quote(repository);
    bool certificate = false;
    const int exitCode = Run(command, installFolder, [&certificate](const std::string& line) {
        certificate = certificate || TellsOfCertificateProblem(line);
    });
    if (exitCode == 0) return;
    if (certificate) Fail(kUnverified);
    Fail(L"Couldn't download the source code from GitHub.");
}

// The checkout or pull for a working copy on branch (empty: on none). True unless a checkout
// failed, which may have stopped halfway through the files; a pull that fails does so before it
// touches one (no network, a diverged history).
bool UpdateWorkingCopy(const fs::path& installFolder, const std::wstring& git,
                       const std::wstring& branch, const std::wstring& tag, bool cutOff) {
    if (!branch.empty()) {
        Log(L"The source folder is on branch " + branch + L": updating that branch.");
        // What the cut-off update changed goes first: the pull would refuse to overwrite it.
        const bool restored =
            !cutOff || Run(git + L" checkout --force HEAD", installFolder, {}) == 0;
        if (Run(git + L" pull --ff-only", installFolder, {}) != 0)
            Log(L"(couldn't update the branch - building the code as it is)");
        return restored;
    }
    if (Run(git + L" checkout --force " + tag, installFolder, {}) == 0) {
        Log(L"Building release " + tag + L".");
        return true;
    }
    const bool checkedOut = Run(git + L" checkout --force main", installFolder, {}) == 0;
    if (checkedOut && Run(git + L" pull --ff-only", installFolder, {}) == 0) return true;
    Log(L"(couldn't update - building the code as it is)");
    return checkedOut;
}

}  // namespace

bool PlausibleTag(std::wstring_view text) {
    if (text.empty() || text.size() > kLongestTag) return false;
    for (const wchar_t c : text) {
        if (c < 0x20 || c == 0x7F || std::iswspace(c)) return false;
        if (std::wstring_view(L"~^:?*[\\\"'").find(c) != std::wstring_view::npos) return false;
    }
    if (text.front() == L'-' || text.front() == L'/' || text.back() == L'/' ||
        text.back() == L'.' || text == L"@")
        return false;
    for (const std::wstring_view bad : {L"..", L"@{", L"//", L"/."})
        if (text.find(bad) != std::wstring_view::npos) return false;
    if (text.front() == L'.') return false;
    // No component of the name may end in ".lock".
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(L'/', start);
        const std::wstring_view component = text.substr(start, end - start);
        if (component.ends_with(L".lock")) return false;
        if (end == std::wstring_view::npos) return true;
        start = end + 1;
    }
}

std::wstring FallbackTag() {
    return L"v" + Widen(kVersion.substr(0, kVersion.find(' ')));
}

void UpdateSource(const fs::path& installFolder, const fs::path& repository,
                  const std::wstring& releaseUrl, std::string_view repoUrl) {
    PostProgress(-1);
    const std::wstring tag = ReleaseTag(releaseUrl);

    std::error_code error;
    if (fs::exists(repository / L".git", error)) {
        Status(L"Updating the source code");
        RemoveStaleLocks(repository);
    } else {
        Status(L"Downloading the source code");
        Clone(installFolder, repository, repoUrl);
    }

    const std::wstring git = L"git -C " + Quote(repository);
    Run(git + L" fetch --tags --force origin", installFolder, {});
    std::string branch;
    const bool onBranch =
        GitOutput(repository, L"symbolic-ref -q --short HEAD", branch) && !branch.empty();
    std::string changes;
    const bool checked = GitOutput(
        repository, L"status --porcelain --untracked-files=no --ignore-submodules=all", changes);

    const fs::path updating = repository / L".git" / kUpdatingMarker;
    const bool cutOff = maintenance::IsPlainFile(updating);
    if (cutOff) {
        Log(L"(the last update of the source folder was cut off; updating it again)");
    } else if (!changes.empty()) {
        Log(L"The source folder has changes of its own: building it as it is (no update).");
        return;
    } else if (!checked) {
        // A git that died without a word (an antivirus, a crash) has said nothing about the
        // user's edits: a forced checkout would overwrite them.
        Log(L"(couldn't check the source folder for changes - building it as it is)");
        return;
    }
    // Kept while what the commands leave may be half done, so that the next job redoes it rather
    // than take it for the user's edits; a job that is stopped meanwhile leaves it too.
    maintenance::PutMarker(updating);
    if (UpdateWorkingCopy(installFolder, git, onBranch ? Widen(branch) : L"", tag, cutOff))
        DeleteFileW(updating.c_str());
}

void SourceStep(const Job& job) {
    UpdateSource(job.choices.folder, job.repository, std::wstring(kApiOrigin) + kReleasePath,
                 kRepoUrl);
}

}  // namespace murk::setup
