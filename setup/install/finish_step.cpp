#include "setup/install/install.h"
#include "setup/install/shortcut.h"
#include "setup/job/channel.h"
#include "setup/job/in_use.h"

#include "maintenance/maintenance.h"
#include "maintenance/tree.h"

#include <array>
#include <cstdint>
#include <system_error>

namespace murk::setup {

namespace {

namespace fs = std::filesystem;

// The first entry of the group that stayed, after waiting out what other programs held. Tools go
// so that a deletion cut off halfway leaves no tool folder that passes for a whole one.
maintenance::RemoveFailure RemoveGroup(const maintenance::Part& part, bool tools) {
    maintenance::Patience patience = JobPatience(true);
    maintenance::RemoveFailure first;
    for (const fs::path& path : part.paths) {
        maintenance::RemoveFailure failure = tools ? maintenance::RemoveTools(path, &patience)
                                                   : maintenance::RemoveAll(path, &patience);
        if (first.path.empty()) first = std::move(failure);
    }
    return first;
}

// What the group's line adds about the entry that stayed, when the reason is one the user can act
// on.
std::wstring WhyNotDeleted(const maintenance::RemoveFailure& failure) {
    if (AccessDenied(failure)) return L": Windows denied access to " + failure.path.native();
    if (!InUse(failure)) return {};
    return L": " + failure.path.native() + L" is in use by " + WhoHolds(failure.path);
}

// Deletes each group whole; a group with anything left in it counts for nothing, so the total
// never claims space that is still taken. Nothing here fails the job: the game is built.
void FreeSpace(Job& job) {
    Status(L"Freeing up space");
    const std::array parts{maintenance::Leftovers(job.repository),
                           maintenance::Tools(job.repository)};
    const maintenance::Part& tools = parts.back();
    std::uint64_t freed = 0;
    for (const maintenance::Part& part : parts) {
        Log(L"Deleting " + part.label + L": " + maintenance::SizeText(part.bytes));
        const maintenance::RemoveFailure failure = RemoveGroup(part, &part == &tools);
        if (failure.path.empty())
            freed += part.bytes;
        else
            Log(L"(some of it couldn't be deleted" + WhyNotDeleted(failure) + L")");
    }
    job.finalMessage += L"\n\nFreed " + maintenance::SizeText(freed) +
                        L" (the next update downloads the tools again and rebuilds from scratch).";
}

std::wstring ImageHeldBy(const maintenance::RemoveFailure& failure) {
    if (AccessDenied(failure)) return L": Windows denied access to " + failure.path.native() + L".";
    if (!InUse(failure)) return {};
    return L": " + WhoHolds(failure.path) + L" is using it.";
}

// Only an image, never a disc folder, and only once the build has the game's files out of it.
void DeleteImage(Job& job) {
    const fs::path& image = job.choices.source;
    // A link to an image isn't the image: deleting the link would free nothing.
    if (!maintenance::IsPlainFile(image)) return;
    std::error_code error;
    if (!fs::exists(job.extracted / L"default.xex", error)) return;
    // The image is the user's: its attributes stay as they are.
    maintenance::Patience patience = JobPatience(false);
    if (const maintenance::RemoveFailure failure = maintenance::RemoveAll(image, &patience);
        !failure.path.empty()) {
        Log(L"Couldn't delete the disc image " + image.native() + ImageHeldBy(failure));
        return;
    }
    Log(L"Deleted the disc image " + image.native());
    job.finalMessage +=
        L"\n\nThe disc image was deleted (the game's files are in murk-recomp\\game\\extracted).";
}

}  // namespace

void FinishStep(Job& job) {
    const fs::path launcher = job.repository / L"build" / L"runtime" / L"MurkLauncher.exe";
    s_installed = launcher;
    std::error_code error;
    if (!fs::exists(launcher, error)) Fail(L"The build finished but MurkLauncher.exe isn't there.");

    // The final message names the desktop only when the shortcut is really there.
    bool onDesktop = false;
    if (job.choices.shortcut) {
        const std::wstring failure = CreateDesktopShortcut(launcher);
        onDesktop = failure.empty();
        if (!onDesktop) Log(L"(couldn't put the shortcut on the desktop: " + failure + L")");
    }
    job.finalMessage = L"Done. Start the game with the launcher";
    job.finalMessage += onDesktop ? L" (\"MURK Recompiled\" on the desktop)." : L".";

    if (job.choices.freeSpace) FreeSpace(job);
    // A job that found the files already extracted never used the image: it may be another copy.
    if (job.needsExtraction && job.choices.deleteImage) DeleteImage(job);
}

}  // namespace murk::setup
