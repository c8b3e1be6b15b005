#pragma once
// Values taken out of release documents, version lists and package index hash documents. These
// documents come from the network and may be of any size or shape: every pattern runs on a short
// slice found by a plain search, so that no document can make the regex engine recurse deep or work
// long.

#include <optional>
#include <string>
#include <string_view>

namespace murk::setup {

// Where a tool's archive is, and the hash its publisher lists for it.
struct Download {
    std::wstring url;
    // A release's SHA-256: 64 lowercase hex digits; empty when none is listed.
    std::string sha256;
    // The package index's SHA-512, in base64; empty when it lists none.
    std::string sha512;
    // From the package index, which lists a SHA-512 for every package.
    bool indexed = false;
    // The package index's SHA-512 couldn't be read (no answer, or an error status).
    bool hashUnread = false;
};

// The newest release asset of repository ("owner/name") whose file name fits pattern as a whole
// (ECMAScript, any case). Fails the job when the service can't be reached or nothing fits.
Download LatestAsset(const char* repository, const char* pattern);
Download LatestAssetAt(std::wstring_view apiOrigin, const char* repository, const char* pattern);

// The first asset, in document order, whose "browser_download_url" file name fits pattern, with
// the digest of that same asset object.
std::optional<Download> FindAsset(std::string_view document, const char* pattern);
// The first non-empty "tag_name" value.
std::optional<std::string> FindTagName(std::string_view document);
// The quoted 3.12.N version with the greatest N (the first of equals).
std::optional<std::string> FindNewestPython312(std::string_view document);
// The first "catalogEntry" URL of a package's registration leaf.
std::optional<std::string> FindCatalogEntry(std::string_view document);
// A catalog leaf's package SHA-512 in base64: the first "packageHashAlgorithm" is "SHA512" and
// the first "packageHash" decodes to 64 bytes.
std::optional<std::string> FindPackageSha512(std::string_view document);

}  // namespace murk::setup
