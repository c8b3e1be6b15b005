#include "setup/config.h"

namespace murk::setup {

const std::wstring_view kApiOrigin = MURK_API_ORIGIN;
const std::string_view kRepoUrl = MURK_GIT_HOST "/velkrand/murk-recomp.git";
const std::wstring_view kPackageIndexOrigin = MURK_PACKAGE_INDEX_ORIGIN;
const std::wstring_view kPackageIndexDomain = MURK_PACKAGE_INDEX_DOMAIN;
const std::string_view kClangRepository = MURK_CLANG_REPO;

}  // namespace murk::setup
