#include "setup/job/environment.h"

#include <windows.h>

#include <cwchar>
#include <map>
#include <memory>

namespace murk::setup {

namespace {

// The order Windows keeps an environment block in: by name, without regard to case.
struct NameLess {
    bool operator()(std::wstring_view a, std::wstring_view b) const {
        return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
};

using Variables = std::map<std::wstring, std::optional<std::wstring>, NameLess>;

// The job's changes (nothing: left out). Touched by the job's thread only.
Variables s_changes;

struct EnvironmentFreer {
    void operator()(wchar_t* strings) const noexcept { FreeEnvironmentStringsW(strings); }
};

// 32767 characters is as long as a variable can be, with room for its terminator.
constexpr DWORD kVariableCapacity = 32768;

// Setup's environment with the job's changes; a variable left out holds nothing.
Variables ChildVariables() {
    Variables variables;
    const std::unique_ptr<wchar_t, EnvironmentFreer> strings(GetEnvironmentStringsW());
    for (const wchar_t* entry = strings.get(); entry && *entry; entry += wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        // Names of the hidden per-drive folders ("=C:=C:\Games") begin with the equals sign.
        const std::size_t equals = text.find(L'=', 1);
        if (equals == std::wstring_view::npos) continue;
        variables.emplace(std::wstring(text.substr(0, equals)),
                          std::wstring(text.substr(equals + 1)));
    }
    for (const auto& [name, value] : s_changes) {
        // A variable the user has keeps the user's spelling of its name.
        if (const auto found = variables.find(name); found != variables.end())
            found->second = value;
        else
            variables.emplace(name, value);
    }
    return variables;
}

}  // namespace

std::optional<std::wstring> SetupVariable(const std::wstring& name) {
    std::wstring value(kVariableCapacity, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), kVariableCapacity);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    if (length >= kVariableCapacity) return std::nullopt;
    value.resize(length);
    return value;
}

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

void ResetChildEnvironment() {
    s_changes.clear();
}

std::optional<std::wstring> ChildVariable(std::wstring_view name) {
    const std::wstring key(name);
    if (const auto change = s_changes.find(key); change != s_changes.end()) return change->second;
    return SetupVariable(key);
}

void SetChildVariable(std::wstring_view name, std::optional<std::wstring> value) {
    const std::wstring key(name);
    s_changes.insert_or_assign(key, std::move(value));
}

std::vector<std::wstring> ChildVariableNames() {
    std::vector<std::wstring> names;
    for (const auto& [name, value] : ChildVariables())
        if (value) names.push_back(name);
    return names;
}

std::vector<wchar_t> ChildEnvironmentBlock() {
    std::vector<wchar_t> block;
    for (const auto& [name, value] : ChildVariables()) {
        if (!value) continue;
        block.insert(block.end(), name.begin(), name.end());
        block.push_back(L'=');
        block.insert(block.end(), value->begin(), value->end());
        block.push_back(L'\0');
    }
    // An empty block is two null characters.
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

}  // namespace murk::setup
