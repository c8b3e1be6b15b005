#include "setup/tools/digest.h"

#include "setup/job/handles.h"

#include <windows.h>
#include <bcrypt.h>

#include <memory>
#include <vector>

namespace murk::setup {

namespace {

constexpr DWORD kReadSize = 1 << 20;
constexpr DWORD kSha256Size = 32;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const noexcept {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};
struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const noexcept { BCryptDestroyHash(hash); }
};
using UniqueAlgorithm = std::unique_ptr<void, AlgorithmCloser>;
using UniqueHash = std::unique_ptr<void, HashDestroyer>;

}  // namespace

std::optional<std::string> Sha256OfFile(const std::filesystem::path& file) {
    UniqueHandle input =
        OwnFileHandle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input) return std::nullopt;

    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return std::nullopt;
    UniqueAlgorithm algorithm(rawAlgorithm);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0)))
        return std::nullopt;
    UniqueHash hash(rawHash);

    std::vector<UCHAR> buffer(kReadSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input.get(), buffer.data(), kReadSize, &read, nullptr)) return std::nullopt;
        if (read == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), buffer.data(), read, 0)))
            return std::nullopt;
    }
    UCHAR digest[kSha256Size];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kSha256Size, 0))) return std::nullopt;

    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * kSha256Size);
    for (UCHAR byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0F];
    }
    return hex;
}

}  // namespace murk::setup
