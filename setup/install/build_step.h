#pragma once
// The build step's reading of the build script's output.

#include "setup/job/process.h"

#include <regex>
#include <string>

namespace murk::setup {

// "[finished/total]" at the very start of a line, as Ninja prints it.
inline constexpr char kCounterPattern[] = R"(^\[([0-9]+)/([0-9]+)\])";

// The line handler for the build script: a "==> " line becomes the status text and makes the
// bar busy; a counter or a percentage moves the bar. Everything else is only logged (by Run).
struct ParseBuildLine {
    const std::regex& counter;  // kCounterPattern
    const std::regex& percent;  // kPercentPattern (setup/job/process.h)
    void operator()(const std::string& line) const;
};

}  // namespace murk::setup
