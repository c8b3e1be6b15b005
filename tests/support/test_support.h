#pragma once
// What every test program shares: temporary folders, a window that collects what a job
// posts, and file helpers.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murk::test {

// A fresh folder under the temporary folder, deleted with everything in it at the end.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const {
        return path_ / child;
    }

  private:
    std::filesystem::path path_;
};

// A message-only window that stands in for the main window: while it lives it is s_window,
// and Drain() collects what the job posted to it, taking each slot as the window does (a log
// batch split into its lines) and freeing the end report's payload.
class Collector {
  public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Handles every message waiting in this thread's queue.
    void Drain();
    // Handles messages as they come until done() holds; false on time-out.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMilliseconds);
    // Handles messages as they come until the end report has arrived; false on time-out.
    bool WaitForDone(DWORD timeoutMilliseconds = 60000);
    // Runs work on another thread while this one handles messages as they come, as the window
    // does during a job: each slot is taken soon after it is filled, so a sequence of values is
    // seen and not only the last. afterTaking runs on this thread after every round of messages
    // (what the work waits for may be set there). Rethrows what work threw; false on time-out.
    bool RunWhileTaking(const std::function<void()>& work, const std::function<void()>& afterTaking,
                        DWORD timeoutMilliseconds = 60000);
    HWND window() const { return window_; }

    // The lines in order; the status texts and progress values as the window would show them
    // (the latest of each when it takes its slot).
    std::vector<std::wstring> logs;
    std::vector<std::wstring> statuses;
    std::vector<int> progress;
    // A log batch came with older lines dropped (more was pending than the view keeps).
    bool logsDropped = false;
    int logBatches = 0;
    // What was taken, in arrival order (one event per line of a log batch).
    struct Event {
        UINT message;
        std::wstring text;
        int value;
    };
    std::vector<Event> events;
    int doneCount = 0;
    bool doneSuccess = false;
    std::wstring doneMessage;
    // Called on arrival of the end report, before it is recorded.
    std::function<void()> onDone;

  private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    void TakeLines();
    void TakeStatusText();
    void TakeProgressValue();
    HWND window_ = nullptr;
};

// Answers the job's platform questions while it lives: the free bytes on any drive (nothing:
// the query failed) and the user's answer to every message box, which it records.
class FakeSystem {
  public:
    explicit FakeSystem(std::optional<std::uint64_t> freeBytes, int answer = IDNO);
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    struct Question {
        HWND owner;
        std::wstring text;
        std::wstring caption;
        UINT type;
    };
    // What was asked so far, in order (safe while a job runs on another thread).
    std::vector<Question> questions() const;
    std::vector<std::filesystem::path> queriedPaths() const;
    // Runs on the asking thread after each question, before the answer is returned.
    void AfterQuestion(std::function<void()> action);
    // Runs on the querying thread on each free-space query (it may throw).
    void OnQuery(std::function<void()> action);
};

// A manual-reset event that a test sets to let a scripted server or stand-in go on.
class Event {
  public:
    Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set() { SetEvent(handle_); }
    // False on time-out.
    bool Wait(DWORD timeoutMilliseconds) {
        return WaitForSingleObject(handle_, timeoutMilliseconds) == WAIT_OBJECT_0;
    }

  private:
    HANDLE handle_;
};

// Checks condition every 10 ms until it holds; false on time-out.
bool Eventually(const std::function<bool()>& condition, DWORD timeoutMilliseconds);

// Windows' proxy as Internet Options saves it, while it lives: the one value Wine's WinHTTP
// reads (a prefix has none of its own), with a proxy, the hosts it skips and a setup script's URL,
// each of them optional. Every program of the prefix sees it: only suites named PrefixWide* set it.
struct SystemProxySetting {
    SystemProxySetting(const std::string& proxy, const std::string& bypass,
                       const std::string& script = "");
    ~SystemProxySetting();
};

// Makes sure s_job exists (kill-on-close), as the program entry does; it lives to the end.
void EnsureJobObject();

// The stand-in program built as standins/<name>/<name>.exe in the build folder.
std::filesystem::path StandIn(std::wstring_view name);
// A command line that runs the child stand-in with arguments (see standins/child.cpp).
std::wstring ChildCommand(std::wstring_view arguments);
// The line the child's "lines:" command writes as line number, without its terminator.
std::string ChildLine(unsigned long number, size_t bytesWithoutTerminator);

// The number of handles this process holds. Counted from the system's handle table, which
// stays exact under Wine, where GetProcessHandleCount reports 0. Nothing when unavailable.
std::optional<size_t> CountHandles();

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
// Makes a tool folder laid out by hand pass for one the tools step made: creates it if need be
// and puts Setup's marker in it.
void MarkMadeBySetup(const std::filesystem::path& toolFolder);
// Makes link a Unix symbolic link to the folder target, which Windows code sees as a link (Wine
// can make neither a junction nor a Windows symbolic link). Only link to a folder that holds
// files: Wine's RemoveDirectoryW on such a link deletes an empty target. False when it didn't show.
bool MakeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target);
// A program built beside the test programs (stand-ins), by file name.
std::filesystem::path BuiltProgram(const std::wstring& fileName);
std::filesystem::path ThisProgramFolder();

// A control's text as it shows: a button's or label's '&' marks a mnemonic ("&&" shows one '&');
// edits and SS_NOPREFIX statics show every '&'. Another process's controls too.
std::wstring ShownText(HWND control, const std::wstring& text);

}  // namespace murk::test
