#pragma once
// The channel from the install job (worker thread) to the window and setup.log.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace murk::setup {

// Posted to s_window; string payloads are new std::wstring objects that the receiver owns.
inline constexpr UINT kLogMessage = WM_APP + 1;       // lParam: the line, without a line end
inline constexpr UINT kStatusMessage = WM_APP + 2;    // lParam: the new status text
inline constexpr UINT kProgressMessage = WM_APP + 3;  // wParam: 0..100, or -1 for busy
inline constexpr UINT kDoneMessage = WM_APP + 4;      // wParam: 1 success; lParam: final message

inline constexpr wchar_t kTitle[] = L"MURK Recompiled Setup";

extern HWND s_window;
extern std::ofstream s_logFile;
extern std::mutex s_logLock;

// Ends a job with a message for the user. Deliberately not a std::exception, so that the
// job frame's handler for unexpected errors never swallows it.
struct Failed {
    std::wstring message;
};

void Log(std::wstring_view text);
void Status(std::wstring_view text);
[[noreturn]] void Fail(std::wstring_view message);

std::wstring Widen(std::string_view bytes);
std::string Utf8(std::wstring_view text);

// Posts a copy of text as the lParam payload. A payload whose post fails is freed here.
bool PostText(UINT message, std::wstring_view text, WPARAM wParam = 0);
void PostProgress(int percent);
// The job's end report: retried while the window exists, so it is never lost to a full queue
// (unless a cancel is pending and the queue stays full: the window is then waiting for the job
// to end, not reading).
void PostDone(bool success, std::wstring_view finalMessage);

// The receiving side takes ownership of a payload posted by PostText or PostDone.
inline std::unique_ptr<std::wstring> TakePayload(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

// Opens setup.log in folder for appending, under s_logLock; a failure leaves lines to the window.
void OpenLog(const std::filesystem::path& folder);
void CloseLog();

}  // namespace murk::setup
