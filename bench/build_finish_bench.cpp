// What reading the build's output and listing its leftovers cost. A full build prints tens of
// thousands of lines, each read between two pipe reads on the worker thread, and leaves
// thousands of objects and generated sources for the clean-up to walk.
#include "maintenance/maintenance.h"
#include "maintenance/tree.h"
#include "setup/install/build_step.h"
#include "setup/job/channel.h"

#include "tests/support/test_support.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using murk::setup::ParseBuildLine;

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Feeds lines to the parser in rounds, draining the window between rounds (the window thread's
// work, not timed) so that the posts never meet a full queue. Returns ns per line.
double NsPerLine(const ParseBuildLine& parse, const std::vector<std::string>& lines, int rounds,
                 murk::test::Collector& window) {
    Clock::duration spent{};
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        for (const std::string& line : lines)
            parse(line);
        spent += Clock::now() - start;
        window.Drain();
        window.events.clear();
        window.progress.clear();
        window.statuses.clear();
    }
    return Seconds(spent) * 1e9 / (static_cast<double>(lines.size()) * rounds);
}

void BenchParse() {
    murk::test::Collector window;
    const std::regex counter(murk::setup::kCounterPattern);
    const std::regex percent(murk::setup::kPercentPattern);
    const ParseBuildLine parse{counter, percent};

    std::vector<std::string> plain, counters, meters, longLines;
    for (int i = 0; i < 2000; ++i) {
        plain.push_back("C:/murk/murk-recomp/generated/ppc/func_" + std::to_string(i) +
                        ".cpp: note: in expansion of macro 'PPC_STORE_U32' at line " +
                        std::to_string(i * 7));
        std::string counted = "[";
        counted += std::to_string(i) + "/2000] Building CXX object CMakeFiles/game.dir/generated/";
        counters.push_back(counted + "ppc/func_" + std::to_string(i) + ".cpp.obj");
        meters.push_back("  " + std::to_string(i % 101) + "% extracting default.xex");
        longLines.push_back(std::string(16000, 'x'));
    }
    std::printf("ParseBuildLine, compiler text (no post):  %7.0f ns/line\n",
                NsPerLine(parse, plain, 20, window));
    std::printf("ParseBuildLine, Ninja counters (1 post):  %7.0f ns/line\n",
                NsPerLine(parse, counters, 20, window));
    std::printf("ParseBuildLine, indented meters (1 post): %7.0f ns/line\n",
                NsPerLine(parse, meters, 20, window));
    // What Run's log filter adds to each indented line with a percent sign: one search (other
    // lines cost it a comparison of two bytes, as before).
    std::size_t meterLines = 0;
    const auto searched = Clock::now();
    for (int round = 0; round < 20; ++round) {
        for (const std::string& line : meters) {
            std::smatch match;
            meterLines += murk::setup::MatchesLineStart(line, percent, match);
        }
    }
    std::printf("Log filter, indented meters (1 search):   %7.0f ns/line\n",
                Seconds(Clock::now() - searched) * 1e9 / static_cast<double>(meterLines));
    // The share of the two above that is the platform's, not the parser's.
    constexpr int kPosts = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < kPosts; ++i)
        murk::setup::PostProgress(i % 101);
    const double posting = Seconds(Clock::now() - start);
    window.Drain();
    std::printf("PostProgress alone:                       %7.0f ns/post\n",
                posting * 1e9 / kPosts);
    std::printf("ParseBuildLine, 16000-byte lines:         %7.0f ns/line\n",
                NsPerLine(parse, longLines, 2, window));
}

void BenchInventory() {
    murk::test::TempFolder install;
    const fs::path repository = install / L"murk-recomp";
    constexpr int kFiles = 3000;
    const std::string content(4096, 'x');
    const auto made = Clock::now();
    for (int i = 0; i < kFiles; ++i) {
        const std::wstring n = std::to_wstring(i);
        const fs::path objects = repository / L"build" / L"CMakeFiles" / (L"dir" + n.substr(0, 1));
        fs::create_directories(objects);
        murk::test::WriteBytes(objects / (L"func_" + n + L".cpp.obj"), content);
        murk::test::WriteBytes(objects / (L"func_" + n + L".cpp.d"), "x");
        const fs::path generated = repository / L"generated" / L"ppc";
        fs::create_directories(generated);
        murk::test::WriteBytes(generated / (L"func_" + n + L".cpp"), content);
    }
    std::printf("made %d build files and %d generated sources in %.2f s\n", kFiles, kFiles,
                Seconds(Clock::now() - made));

    const auto start = Clock::now();
    const murk::maintenance::Part leftovers = murk::maintenance::Leftovers(repository);
    const double listed = Seconds(Clock::now() - start);
    std::printf("Leftovers over %d files: %zu entries, %ls, %.1f ms\n", 3 * kFiles,
                leftovers.paths.size(), murk::maintenance::SizeText(leftovers.bytes).c_str(),
                listed * 1e3);
}

// What waiting out held files costs a deletion where nothing is held: two like folders, one
// deleted with one try per entry, one with the patience Free up space gives.
void BenchRemove() {
    murk::test::TempFolder install;
    constexpr int kFiles = 3000;
    for (const wchar_t* name : {L"once", L"patient"}) {
        fs::create_directories(install / name);
        for (int i = 0; i < kFiles; ++i)
            murk::test::WriteBytes(install / name / (L"func_" + std::to_wstring(i) + L".cpp"), "x");
    }
    murk::maintenance::Patience patience{.cancelled = [] { return false; }, .clearReadOnly = true};
    for (const wchar_t* name : {L"once", L"patient"}) {
        const auto start = Clock::now();
        const bool removed =
            murk::maintenance::RemoveAll(install / name, name[0] == L'p' ? &patience : nullptr)
                .path.empty();
        std::printf("RemoveAll of %d files, %-7ls: %.1f ms%s\n", kFiles, name,
                    Seconds(Clock::now() - start) * 1e3, removed ? "" : " (some stayed)");
    }
}

}  // namespace

int main() {
    BenchParse();
    BenchInventory();
    BenchRemove();
    return 0;
}
