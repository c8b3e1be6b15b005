#pragma once
// Finds a stand-in program: target standin_<name> builds it into <build>/standins/<name>/.

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace murk::test {

// Test programs live in <build>/tests/<area>/.
inline std::filesystem::path StandinProgram(const std::wstring& name, const std::wstring& file) {
    return ThisProgramFolder().parent_path().parent_path() / L"standins" / name / file;
}

}  // namespace murk::test
