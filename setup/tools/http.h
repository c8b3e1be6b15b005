#pragma once
// The program's only HTTP client: one GET per call, into memory and/or a file.

#include <filesystem>
#include <string>

namespace murk::setup {

// Fetches url (http or https). The body is appended to memory and/or written to file (created or
// truncated before the status is known). With a label, download progress goes to the window's
// status line and bar. Returns false on any failure, including a cancel between chunks; never
// throws for a network failure and never words a message: the caller does.
bool Get(const std::wstring& url, std::string* memory, const std::filesystem::path* file,
         const wchar_t* label);

}  // namespace murk::setup
