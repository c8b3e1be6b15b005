#pragma once
// What every test program shares: temporary folders, a window that collects what a job
// posts, and file helpers.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
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
// and Drain() collects what the job posted to it, freeing every payload.
class Collector {
  public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Handles every message waiting in this thread's queue.
    void Drain();
    HWND window() const { return window_; }

    std::vector<std::wstring> logs;
    std::vector<std::wstring> statuses;
    std::vector<int> progress;
    // Every message in arrival order: kLogMessage..kDoneMessage with its text or value.
    struct Event {
        UINT message;
        std::wstring text;
        int value;
    };
    std::vector<Event> events;
    int doneCount = 0;
    bool doneSuccess = false;
    std::wstring doneMessage;

  private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    HWND window_ = nullptr;
};

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
// A program built beside the test programs (stand-ins), by file name.
std::filesystem::path BuiltProgram(const std::wstring& fileName);
std::filesystem::path ThisProgramFolder();

}  // namespace murk::test
