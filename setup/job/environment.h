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

// Forgets every change of the last job.
void ResetChildEnvironment();

// A variable as the children get it; nothing when they don't get it at all. Names are compared
// without regard to case, as Windows does.
std::optional<std::wstring> ChildVariable(std::wstring_view name);

// Sets a variable for the children, or, given nothing, leaves it out of their environment.
void SetChildVariable(std::wstring_view name, std::optional<std::wstring> value);

// Setup's environment with the changes, as CreateProcessW takes it with
// CREATE_UNICODE_ENVIRONMENT: "NAME=value" strings sorted by name, each ending in a null
// character, then one more.
std::vector<wchar_t> ChildEnvironmentBlock();

}  // namespace murk::setup
