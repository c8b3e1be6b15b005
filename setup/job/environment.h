#pragma once
// The environment the install job's children get: Setup's own, which stays as the user's, with
// the job's changes on top (tool folders in front of PATH, variables that would derail git or
// Python, the system's proxy). Each job starts again from the user's values, and a program that
// Setup starts outside a job (the launcher) gets Setup's environment as it is.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murk::setup {

// A variable of Setup's own environment, the user's; nothing when it is unset.
std::optional<std::wstring> SetupVariable(const std::wstring& name);

// Whether two names or paths are the same text without regard to case, as Windows compares
// variable names and file names.
bool SameIgnoringCase(std::wstring_view a, std::wstring_view b);

// Forgets every change of the last job.
void ResetChildEnvironment();

// A variable as the children get it; nothing when they don't get it at all. Names are compared
// without regard to case, as Windows does.
std::optional<std::wstring> ChildVariable(std::wstring_view name);

// Sets a variable for the children, or, given nothing, leaves it out of their environment.
void SetChildVariable(std::wstring_view name, std::optional<std::wstring> value);

// The names of the variables the children get, in the order of their block.
std::vector<std::wstring> ChildVariableNames();

// Setup's environment with the changes, as CreateProcessW takes it with
// CREATE_UNICODE_ENVIRONMENT: "NAME=value" strings sorted by name, each ending in a null
// character, then one more.
std::vector<wchar_t> ChildEnvironmentBlock();

}  // namespace murk::setup
