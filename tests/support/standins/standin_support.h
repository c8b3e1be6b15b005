#pragma once
// What the stand-in programs share. They link nothing of the program, so that a stand-in's
// behaviour never depends on the code it stands in for.

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace murk::standin {

inline std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

// The variable's value; empty when it is unset (or longer than a variable can be).
inline std::wstring Variable(const std::wstring& name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

// Copies a folder's tree over another, replacing files that exist. File by file with the
// system's copy: the library's copies refuse existing targets even when told to overwrite.
inline bool CopyTree(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code error;
    std::filesystem::create_directories(to, error);
    for (std::filesystem::recursive_directory_iterator it(from, error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::path target = to / std::filesystem::relative(it->path(), from);
        std::error_code typeError;
        if (it->is_directory(typeError))
            std::filesystem::create_directories(target, typeError);
        else if (!CopyFileW(it->path().c_str(), target.c_str(), FALSE))
            return false;
    }
    return !error;
}

}  // namespace murk::standin
