#pragma once
// The build tools step: each tool from the PATH, from an earlier download in the install
// folder's "tools", or downloaded and unpacked there now; tool folders go in front of the
// PATH that the job's children get.

#include "setup/tools/release.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace murk::setup {

struct BuildTool {
    const wchar_t* name;  // shown in messages; the name of its folder and archive
    const wchar_t* exe;   // the program whose presence proves the tool
    std::function<Download()> fetch;
};

// The five tools, in the order the step takes them, looked up at these services.
std::vector<BuildTool> ToolTable(std::wstring apiOrigin, std::wstring indexOrigin,
                                 std::wstring indexDomain);

// The first file called name (exact case) at most three folder levels below folder; empty when
// there is none or the folder can't be listed. Links are never entered, and a folder that is
// itself a link gives nothing.
std::filesystem::path FindUnder(const std::filesystem::path& folder, const wchar_t* name);

// The tool's program as the step takes it from the PATH the job's children get (never a Store
// alias); empty when that PATH has none.
std::filesystem::path ToolOnPath(const wchar_t* exe);

// The newest Python 3.12 package on the package index.
Download FetchPythonAt(std::wstring_view indexOrigin, std::wstring_view indexDomain);

// The step itself, for the install folder. Returns the programs it took from the tools folder.
std::vector<std::filesystem::path> ProvideTools(const std::filesystem::path& installFolder,
                                                const std::vector<BuildTool>& tools);

}  // namespace murk::setup
