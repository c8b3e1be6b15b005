#include "setup/install/install.h"

#include "setup/install/install_folder.h"
#include "setup/job/channel.h"
#include "setup/job/environment.h"
#include "setup/job/handles.h"
#include "setup/job/process.h"
#include "setup/job/system.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>

namespace murk::setup {

std::filesystem::path s_installed;

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kNeededFresh = 14 * kGiB;
constexpr std::uint64_t kNeededExtracted = 6 * kGiB;
constexpr wchar_t kAwakeReason[] = L"MURK Recompiled Setup is building the game.";
constexpr wchar_t kSessionEnded[] = L"Stopped because Windows is shutting down or signing out.";

// Keeps Windows from sleeping on its idle timer while the job runs: the system only, never the
// display, and never by changing the user's power settings. Where no power request can be made
// (Wine, or an old system), the job's thread says the same for itself.
class StayAwake {
  public:
    StayAwake() {
        REASON_CONTEXT reason{.Version = POWER_REQUEST_CONTEXT_VERSION,
                              .Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING};
        reason.Reason.SimpleReasonString = const_cast<LPWSTR>(kAwakeReason);
        request_ = OwnFileHandle(PowerCreateRequest(&reason));
        if (request_ && s_powerSetRequest(request_.get(), PowerRequestSystemRequired)) return;
        request_.reset();
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    }
    ~StayAwake() {
        if (request_) {
            s_powerClearRequest(request_.get(), PowerRequestSystemRequired);
            return;
        }
        SetThreadExecutionState(ES_CONTINUOUS);
    }
    StayAwake(const StayAwake&) = delete;
    StayAwake& operator=(const StayAwake&) = delete;

  private:
    UniqueHandle request_;
};

// A power request doesn't stop a closed lid, nor a Modern Standby laptop on battery.
void NoteBattery() {
    SYSTEM_POWER_STATUS power{};
    if (GetSystemPowerStatus(&power) && power.ACLineStatus == 0)
        Log(L"(This PC is running on battery: Windows may still let it sleep. Plug it in for the "
            L"build.)");
}

Job Prepare(Choices choices) {
    OpenLog(choices.folder);
    Log(L"MURK Recompiled Setup, installing to " + choices.folder.native());
    NoteBattery();

    Job job{.choices = std::move(choices)};
    job.repository = job.choices.folder / L"murk-recomp";
    job.extracted = job.repository / L"game" / L"extracted";
    std::error_code error;
    job.needsExtraction = !fs::exists(job.extracted / L"default.xex", error);
    return job;
}

void CheckSource(const Job& job) {
    if (!job.needsExtraction) return;
    std::error_code error;
    if (job.choices.source.empty() || !fs::exists(job.choices.source, error))
        Fail(L"Choose your MURK disc image (.iso) or extracted disc folder first.");
}

void CheckDiskSpace(const Job& job) {
    const std::uint64_t free = FreeBytes(job.choices.folder).value_or(0);
    if (free == 0) return;
    const std::uint64_t needed = job.needsExtraction ? kNeededFresh : kNeededExtracted;
    if (free >= needed) return;
    // The window may be closing: asking now would leave a question nobody can answer in time.
    CheckCancel();
    const std::wstring question = L"The drive has " + std::to_wstring(free / kGiB) +
                                  L" GB free; about " + std::to_wstring(needed / kGiB) +
                                  L" GB is needed. Continue anyway?";
    const int answer = Ask(question, MB_YESNO | MB_ICONWARNING);
    // A window that closes while the question is up answers it for the user: the job was
    // stopped, not refused for lack of space.
    CheckCancel();
    if (answer != IDYES) Fail(L"Not enough disk space.");
}

bool RunSteps(Choices choices, std::wstring& finalMessage) {
    // From the user's values: a tool folder that an earlier job put in front of the children's
    // PATH is no tool of the user's.
    ResetChildEnvironment();
    Job job = Prepare(std::move(choices));
    CheckSource(job);
    CheckDiskSpace(job);
    ChildEnvironmentStep(job);
    ToolsStep(job);
    SourceStep(job);
    BuildStep(job);
    FinishStep(job);
    finalMessage = std::move(job.finalMessage);
    return true;
}

}  // namespace

void Install(Choices choices) {
    bool success = false;
    std::wstring finalMessage;
    // Taken as soon as the folder is there, before anything is made or logged in it, and kept
    // until after the end report, so that no other Setup starts there before this job has wholly
    // ended. Two starts can race past the window's check: the one that comes second here ends at
    // once.
    std::optional<UniqueHandle> lock;
    {
        ComApartment apartment;
        StayAwake awake;
        try {
            if (!MakeInstallFolder(choices.folder))
                Fail(L"Couldn't create " + choices.folder.native());
            lock = HoldFolder(choices.folder);
            if (!lock) Fail(kAlreadyRunning);
            success = RunSteps(std::move(choices), finalMessage);
        } catch (const Failed& failure) {
            finalMessage = failure.message;
        } catch (const std::exception& error) {
            finalMessage = L"Unexpected error: " + Widen(error.what());
        } catch (...) {
            // Whatever it was, the window must still hear that the job has ended.
            finalMessage = L"Unexpected error.";
        }
        // The window stopped the job because Windows is ending the session: the log says so.
        if (!success && s_sessionEnding.load()) finalMessage = kSessionEnded;
        Log(finalMessage);
        CloseLog();
    }
    PostDone(success, finalMessage);
}

}  // namespace murk::setup
