#include "setup/install/build_step.h"

#include "setup/install/install.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

namespace murk::setup {

namespace {

constexpr std::string_view kStatusMarker = "==> ";

// Both patterns can only match at the start of a line, so the search tries that one place
// (the matcher would otherwise attempt, and reject, every later position of a long compiler
// line) and looks no further than this many bytes. The bound matters: the standard library's
// matcher recurses once per character of a repeated class, and a line starting with a few
// thousand spaces or digits would otherwise overflow the worker thread's stack.
constexpr std::size_t kProgressPrefix = 1024;

constexpr wchar_t kBuildFailed[] =
    L"The build failed. The log above (also in setup.log) says why; Help > Report a bug in the "
    L"launcher, or a GitHub issue with setup.log attached, gets it looked at.";

bool Find(const std::string& line, const std::regex& pattern, std::smatch& match) {
    const auto end =
        line.begin() + static_cast<std::ptrdiff_t>(std::min(line.size(), kProgressPrefix));
    return std::regex_search(line.begin(), end, match, pattern,
                             std::regex_constants::match_continuous);
}

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

}  // namespace

void ParseBuildLine::operator()(const std::string& line) const {
    if (line.starts_with(kStatusMarker)) {
        PostStatus(Widen(std::string_view(line).substr(kStatusMarker.size())));
        PostProgress(-1);
        return;
    }
    std::smatch match;
    if (Find(line, counter, match)) {
        const int total = ReadNumber(match[2]);
        if (total > 0) {
            // In 64 bits: a finished count above INT_MAX / 100 must not wrap into a negative,
            // which the window would show as the busy bar.
            const std::int64_t percent = std::int64_t{ReadNumber(match[1])} * 100 / total;
            PostProgress(static_cast<int>(std::min<std::int64_t>(percent, INT_MAX)));
            return;
        }
    }
    if (Find(line, percent, match)) PostProgress(ReadNumber(match[1]));
}

void BuildStep(const Job& job) {
    Status(L"Building (the first build takes 10-30 minutes)");
    std::wstring commandLine = L"python -u tools\\build.py";
    // Once the game's files are extracted the script needs the disc no more.
    if (job.needsExtraction) commandLine += L" --iso " + Quote(job.choices.source);

    const std::regex counter(kCounterPattern);
    const std::regex percent(kPercentPattern);
    if (Run(commandLine, job.repository, ParseBuildLine{counter, percent}) != 0) Fail(kBuildFailed);
}

}  // namespace murk::setup
