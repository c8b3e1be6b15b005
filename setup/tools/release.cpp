#include "setup/tools/release.h"

#include "setup/config.h"
#include "setup/job/channel.h"
#include "setup/job/process.h"
#include "setup/tools/digest.h"
#include "setup/tools/http.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
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
        if (failure.cause == GetFailure::kTooLong) Fail(noMatch);
        Fail(L"Couldn't reach GitHub to find " + name + L". Check the internet connection.");
    }
    if (auto found = FindAsset(body, pattern)) return *std::move(found);
    Fail(noMatch);
}

Download LatestAsset(const char* repository, const char* pattern) {
    return LatestAssetAt(kApiOrigin, repository, pattern);
}

}  // namespace murk::setup
