#include "setup/install/build_step.h"

#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"

#include "maintenance/tree.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

namespace murk::setup {

namespace {

constexpr std::string_view kStatusMarker = "==> ";

constexpr wchar_t kBuildFailed[] =
    L"The build failed. The log above (also in setup.log) says why; Help > Report a bug in the "
    L"launcher, or a GitHub issue with setup.log attached, gets it looked at.";

// Reads a run of decimal digits; a number too large for an int is held at INT_MAX rather than
// ending the build over a progress figure.
int ReadNumber(const std::ssub_match& digits) {
    std::int64_t value = 0;
    for (auto digit = digits.first; digit != digits.second; ++digit) {
        value = value * 10 + (*digit - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

// An antivirus may remove a compiler it mistakes for a threat at any time after the tools step
// found it: as it is first run, or at a later scan.
void CheckToolsStillThere(const Job& job) {
    for (const std::filesystem::path& program : job.toolPrograms) {
        unsigned long error = 0;
        if (maintenance::EntryOf(program, &error) || !maintenance::NothingThere(error)) continue;
        Fail(program.filename().native() + L" is gone from " + program.parent_path().native() +
             L". An antivirus may have removed it: allow the install folder in your antivirus, "
             L"then run Setup again.");
    }
}

}  // namespace

void ParseBuildLine::operator()(const std::string& line) const {
    if (line.starts_with(kStatusMarker)) {
        PostStatus(Widen(std::string_view(line).substr(kStatusMarker.size())));
        PostProgress(-1);
        return;
    }
    std::smatch match;
    if (MatchesLineStart(line, counter, match)) {
        const int total = ReadNumber(match[2]);
        if (total > 0) {
            // In 64 bits: a finished count above INT_MAX / 100 must not wrap into a negative,
            // which the window would show as the busy bar.
            const std::int64_t percent = std::int64_t{ReadNumber(match[1])} * 100 / total;
            PostProgress(static_cast<int>(std::min<std::int64_t>(percent, INT_MAX)));
            return;
        }
    }
    if (MatchesLineStart(line, percent, match)) PostProgress(ReadNumber(match[1]));
}

void BuildStep(const Job& job) {
    CheckToolsStillThere(job);
    Status(L"Building (the first build takes 10-30 minutes)");
    std::wstring commandLine = L"python -u tools\\build.py";
    // Once the game's files are extracted the script needs the disc no more.
    if (job.needsExtraction) commandLine += L" --iso " + Quote(job.choices.source);

    const std::regex counter(kCounterPattern);
    const std::regex percent(kPercentPattern);
    if (Run(commandLine, job.repository, ParseBuildLine{counter, percent}) != 0) {
        // A compiler taken away halfway makes the build fail somewhere deep inside CMake.
        CheckToolsStillThere(job);
        Fail(kBuildFailed);
    }
}

}  // namespace murk::setup
