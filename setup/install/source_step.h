#pragma once
// The source-code step: clones the project's repository, or brings the working copy up to date
// without ever touching local changes.

#include <filesystem>
#include <string>
#include <string_view>

namespace murk::setup {

// Whether text can go into a git command line as a tag name: a ref name git accepts, that no
// shell or argument parser could take for more than one word or for an option.
bool PlausibleTag(std::wstring_view text);

// "v" and the program's own version number: the tag used when the newest one can't be had.
std::wstring FallbackTag();

// The step, with the release document's URL and the repository's clone URL passed in.
void UpdateSource(const std::filesystem::path& installFolder,
                  const std::filesystem::path& repository, const std::wstring& releaseUrl,
                  std::string_view repoUrl);

}  // namespace murk::setup
