#include "setup/tools/release.h"

#include "setup/config.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cwchar>
#include <iterator>
#include <regex>

namespace murk::setup {

namespace {

// How far past a key a pattern may look. The regex engine recurses per character matched and
// needs some hundreds of bytes of stack for each, so these bound its depth as well as its time.
// Real values are far shorter: asset URLs about 120 bytes, tags a few dozen.
constexpr std::size_t kUrlReach = 1024;
constexpr std::size_t kTagReach = 256;
constexpr std::size_t kVersionReach = 32;
constexpr std::size_t kDigestReach = 128;
constexpr std::size_t kAlgorithmReach = 64;
constexpr std::size_t kPackageHashReach = 256;  // 88 base64 digits for SHA-512
// An asset object (with its uploader) is a few KB; its braces are searched this far each way.
constexpr std::size_t kObjectReach = 64 * 1024;

constexpr auto kContinuous = std::regex_constants::match_continuous;

// Rate-limit headers: seconds and epoch times have a dozen digits at most.
constexpr std::size_t kLongestHeaderNumber = 18;
constexpr std::uint64_t kEpochToFileTimeSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;
// Beyond this FileTimeToSystemTime refuses the time (it takes FILETIMEs below 2^63).
constexpr std::uint64_t kLatestEpochSeconds = 900000000000;

// Calls take(match, at) for each non-overlapping match of pattern, which must begin with the
// literal anchor, looking at most reach bytes from each anchor. take returns true to stop.
template <class Take>
void ForEachMatch(std::string_view document, std::string_view anchor, const std::regex& pattern,
                  std::size_t reach, Take take) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = document.find(anchor, from);
        if (at == std::string_view::npos) return;
        const std::string_view slice = document.substr(at, reach);
        std::cmatch match;
        if (std::regex_search(slice.data(), slice.data() + slice.size(), match, pattern,
                              kContinuous)) {
            if (take(match, at)) return;
            from = at + static_cast<std::size_t>(match.length(0));
        } else {
            from = at + 1;
        }
    }
}

bool EscapedQuote(std::string_view document, std::size_t quote) {
    std::size_t backslashes = 0;
    while (quote > backslashes && document[quote - backslashes - 1] == '\\')
        ++backslashes;
    return backslashes % 2 == 1;
}

// The bounds of the innermost JSON object around position at (which lies outside any string),
// by a lexical scan for its braces that skips strings; nothing when they aren't near.
std::optional<std::string_view> EnclosingObject(std::string_view document, std::size_t at) {
    std::optional<std::size_t> begin;
    int depth = 0;
    bool inString = false;
    const std::size_t lowest = at > kObjectReach ? at - kObjectReach : 0;
    for (std::size_t i = at; i-- > lowest;) {
        const char c = document[i];
        if (c == '"' && !EscapedQuote(document, i)) {
            inString = !inString;
        } else if (!inString && c == '}') {
            ++depth;
        } else if (!inString && c == '{') {
            if (depth == 0) {
                begin = i;
                break;
            }
            --depth;
        }
    }
    if (!begin) return std::nullopt;

    depth = 0;
    inString = false;
    const std::size_t highest = std::min(document.size(), at + kObjectReach);
    for (std::size_t i = at; i < highest; ++i) {
        const char c = document[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 0) return document.substr(*begin, i + 1 - *begin);
            --depth;
        }
    }
    return std::nullopt;
}

// The "digest": "sha256:..." member of the object itself, not of one nested in it (the uploader).
std::string DigestOf(std::string_view object) {
    static const std::regex digest("\"digest\"\\s*:\\s*\"sha256:([0-9A-Fa-f]{64})\"");
    int depth = 0;
    for (std::size_t i = 0; i < object.size(); ++i) {
        const char c = object[i];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            --depth;
        } else if (c == '"') {
            const std::string_view rest = object.substr(i);
            std::cmatch match;
            if (depth == 1 && rest.starts_with("\"digest\"")) {
                const std::string_view slice = rest.substr(0, kDigestReach);
                if (std::regex_search(slice.data(), slice.data() + slice.size(), match, digest,
                                      kContinuous)) {
                    std::string hex = match.str(1);
                    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char ch) {
                        return static_cast<char>(std::tolower(ch));
                    });
                    return hex;
                }
            }
            // Skip the string, so that braces and keys inside values don't count.
            for (++i; i < object.size() && object[i] != '"'; ++i)
                if (object[i] == '\\') ++i;
        }
    }
    return {};
}

// The first non-empty string value of a member named key.
std::optional<std::string> FirstString(std::string_view document, const std::string& key,
                                       std::size_t reach) {
    const std::string quoted = "\"" + key + "\"";
    const std::regex pattern(quoted + "\\s*:\\s*\"([^\"]+)\"");
    std::optional<std::string> found;
    ForEachMatch(document, quoted, pattern, reach, [&](const std::cmatch& match, auto) {
        found = match.str(1);
        return true;
    });
    return found;
}

// A header's value as a whole decimal number; nothing when it is anything else.
std::optional<std::uint64_t> HeaderNumber(std::wstring_view text) {
    if (text.empty() || text.size() > kLongestHeaderNumber) return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t digit : text) {
        if (digit < L'0' || digit > L'9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(digit - L'0');
    }
    return value;
}

// A header's epoch seconds as the user's clock shows them, "HH:MM"; nothing for a value that
// isn't such a time.
std::optional<std::wstring> LocalClockTime(std::wstring_view header) {
    const std::optional<std::uint64_t> epochSeconds = HeaderNumber(header);
    if (!epochSeconds || *epochSeconds > kLatestEpochSeconds) return std::nullopt;
    const std::uint64_t ticks = (*epochSeconds + kEpochToFileTimeSeconds) * kFileTimeTicksPerSecond;
    const FILETIME fileTime{.dwLowDateTime = static_cast<DWORD>(ticks),
                            .dwHighDateTime = static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&fileTime, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return std::nullopt;
    wchar_t text[8];
    std::swprintf(text, std::size(text), L"%02u:%02u", local.wHour, local.wMinute);
    return text;
}

// GitHub answers at most 60 anonymous lookups an hour per address, and a shared address
// (a dormitory, a carrier's NAT) or a few retried installs use them up. Its refusal is no
// connection problem, and asking again at once only gets another.
std::optional<std::wstring> RateLimitMessage(const GetFailure& failure) {
    if (failure.cause != GetFailure::kStatus || (failure.status != 403 && failure.status != 429))
        return std::nullopt;
    if (HeaderNumber(failure.rateLimitRemaining) != 0 && failure.retryAfter.empty())
        return std::nullopt;
    const std::wstring spent =
        L"GitHub's limit on lookups from this network is used up. Try again ";
    if (const auto time = LocalClockTime(failure.rateLimitReset))
        return spent + L"after " + *time + L".";
    if (const auto seconds = HeaderNumber(failure.retryAfter)) {
        const std::uint64_t minutes = std::max<std::uint64_t>(1, (*seconds + 59) / 60);
        return spent + L"in " + std::to_wstring(minutes) +
               (minutes == 1 ? L" minute." : L" minutes.");
    }
    return spent + L"later.";
}

}  // namespace

std::optional<Download> FindAsset(std::string_view document, const char* pattern) {
    static const std::regex url("\"browser_download_url\"\\s*:\\s*\"([^\"]+)\"");
    const std::regex name(pattern, std::regex::ECMAScript | std::regex::icase);
    std::optional<Download> found;
    ForEachMatch(document, "\"browser_download_url\"", url, kUrlReach,
                 [&](const std::cmatch& match, std::size_t at) {
                     const std::string value = match.str(1);
                     const std::size_t slash = value.rfind('/');
                     const std::string file =
                         slash == std::string::npos ? value : value.substr(slash + 1);
                     if (!std::regex_match(file, name)) return false;
                     found = Download{.url = Widen(value)};
                     if (const auto object = EnclosingObject(document, at))
                         found->sha256 = DigestOf(*object);
                     return true;
                 });
    return found;
}

std::optional<std::string> FindTagName(std::string_view document) {
    return FirstString(document, "tag_name", kTagReach);
}

std::optional<std::string> FindNewestPython312(std::string_view document) {
    static const std::regex version("\"(3\\.12\\.[0-9]+)\"");
    std::optional<std::string> best;
    std::uint64_t bestPatch = 0;
    ForEachMatch(document, "\"3.12.", version, kVersionReach, [&](const std::cmatch& match, auto) {
        const std::string text = match.str(1);
        std::uint64_t patch = 0;
        const auto [end, error] =
            std::from_chars(text.data() + 5, text.data() + text.size(), patch);
        (void)end;
        // A number too big to be a patch level is no version at all.
        if (error != std::errc()) return false;
        if (!best || patch > bestPatch) {
            best = text;
            bestPatch = patch;
        }
        return false;
    });
    return best;
}

std::optional<std::string> FindCatalogEntry(std::string_view document) {
    return FirstString(document, "catalogEntry", kUrlReach);
}

std::optional<std::string> FindPackageSha512(std::string_view document) {
    if (FirstString(document, "packageHashAlgorithm", kAlgorithmReach) != "SHA512")
        return std::nullopt;
    const std::optional<std::string> hash = FirstString(document, "packageHash", kPackageHashReach);
    if (!hash) return std::nullopt;
    const std::optional<std::string> bytes = FromBase64(*hash);
    if (!bytes || bytes->size() != 64) return std::nullopt;
    return Base64(*bytes);
}

Download LatestAssetAt(std::wstring_view apiOrigin, const char* repository, const char* pattern) {
    const std::wstring name = Widen(repository);
    const std::wstring noMatch = L"No download of " + name + L" matched what Setup expects.";
    std::string body;
    GetFailure failure;
    if (!Get(std::wstring(apiOrigin) + L"/repos/" + name + L"/releases/latest", &body, nullptr,
             nullptr, nullptr, &failure)) {
        // Telling a user who pressed Cancel to check the connection would be wrong.
        CheckCancel();
        if (const auto limited = RateLimitMessage(failure)) Fail(*limited);
        if (failure.cause == GetFailure::kTooLong) Fail(noMatch);
        if (const std::wstring reason = ReasonFor(failure.cause); !reason.empty())
            Fail(L"Couldn't reach GitHub: " + reason);
        Fail(L"Couldn't reach GitHub to find " + name + L". Check the internet connection.");
    }
    if (auto found = FindAsset(body, pattern)) return *std::move(found);
    Fail(noMatch);
}

Download LatestAsset(const char* repository, const char* pattern) {
    return LatestAssetAt(kApiOrigin, repository, pattern);
}

}  // namespace murk::setup
