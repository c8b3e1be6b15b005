#pragma once
// The outside services, set once at build time (cmake/config.cmake).
//
// Every download goes over https. Plain http is allowed only to the scheme, host and port of a
// configured origin that is itself plain http on a loopback host (127.0.0.1, localhost, [::1]):
// the local world of a test build. The shipped origins are https and allow no http at all.

#include <string_view>

namespace murk::setup {

extern const std::wstring_view kApiOrigin;           // release documents
extern const std::string_view kRepoUrl;              // the project's git repository
extern const std::wstring_view kPackageIndexOrigin;  // Python packages
extern const std::wstring_view kPackageIndexDomain;  // as named in messages
extern const std::string_view kClangRepository;      // llvm-mingw releases

// The program's own version: a number and the commit it was built from.
inline constexpr std::string_view kVersion = "0.2.78 (a4f8965)";

}  // namespace murk::setup
