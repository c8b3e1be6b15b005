#include "setup/job/in_use.h"

#include "setup/job/process.h"

#include <windows.h>
#include <restartmanager.h>

#include <vector>

namespace murk::setup {

namespace {

// Processes can start between two calls of RmGetList: it is asked again only so often.
constexpr int kListTries = 3;

// A Restart Manager session, ended once.
class RestartSession {
  public:
    RestartSession() { started_ = RmStartSession(&handle_, 0, key_) == ERROR_SUCCESS; }
    ~RestartSession() {
        if (started_) RmEndSession(handle_);
    }
    RestartSession(const RestartSession&) = delete;
    RestartSession& operator=(const RestartSession&) = delete;
    bool started() const { return started_; }
    DWORD get() const { return handle_; }

  private:
    DWORD handle_ = 0;
    WCHAR key_[CCH_RM_SESSION_KEY + 1] = {};
    bool started_ = false;
};

}  // namespace

maintenance::Patience JobPatience(bool clearReadOnly) {
    return {.cancelled = [] { return s_cancel.load(); }, .clearReadOnly = clearReadOnly};
}

bool InUse(const maintenance::RemoveFailure& failure) {
    return !failure.link &&
           (failure.error == ERROR_SHARING_VIOLATION || failure.error == ERROR_LOCK_VIOLATION);
}

bool AccessDenied(const maintenance::RemoveFailure& failure) {
    return !failure.link && failure.error == ERROR_ACCESS_DENIED;
}

std::wstring HolderOf(const std::filesystem::path& file) {
    const RestartSession session;
    if (!session.started()) return {};
    LPCWSTR files[] = {file.c_str()};
    if (RmRegisterResources(session.get(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS)
        return {};
    std::vector<RM_PROCESS_INFO> processes;
    UINT count = 0;
    DWORD result = ERROR_MORE_DATA;
    for (int tries = 0; result == ERROR_MORE_DATA && tries < kListTries; ++tries) {
        UINT needed = 0;
        count = static_cast<UINT>(processes.size());
        DWORD reasons = 0;
        result = RmGetList(session.get(), &needed, &count, processes.data(), &reasons);
        if (result == ERROR_MORE_DATA) processes.resize(needed);
    }
    if (result != ERROR_SUCCESS) return {};
    const DWORD self = GetCurrentProcessId();
    for (UINT i = 0; i < count && i < processes.size(); ++i) {
        const RM_PROCESS_INFO& process = processes[i];
        if (process.Process.dwProcessId != self && process.strAppName[0]) return process.strAppName;
    }
    return {};
}

std::wstring WhoHolds(const std::filesystem::path& file) {
    std::wstring holder = HolderOf(file);
    return holder.empty() ? L"another program" : holder;
}

}  // namespace murk::setup
