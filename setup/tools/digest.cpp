#include "setup/tools/digest.h"

#include "setup/job/handles.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace murk::setup {

namespace {

constexpr DWORD kReadSize = 1 << 20;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// Gives the hash its data, piece by piece; false when the data can't be had or hashed.
using HashFeeder = std::function<bool(BCRYPT_HASH_HANDLE hash)>;

bool HashPiece(BCRYPT_HASH_HANDLE hash, const void* bytes, ULONG size) {
    return BCRYPT_SUCCESS(
        BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(bytes)), size, 0));
}

// The raw digest of what feed gives, or nothing when feeding or hashing fails.
std::optional<std::string> HashOf(HashAlgorithm kind, const HashFeeder& feed) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    const bool sha256 = kind == HashAlgorithm::kSha256;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(
            &rawAlgorithm, sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA512_ALGORITHM, nullptr, 0)))
        return std::nullopt;
    UniqueAlgorithm algorithm(rawAlgorithm);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0)))
        return std::nullopt;
    UniqueHash hash(rawHash);
    if (!feed(hash.get())) return std::nullopt;
    std::string digest(sha256 ? 32 : 64, '\0');
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), reinterpret_cast<UCHAR*>(digest.data()),
                                         static_cast<ULONG>(digest.size()), 0)))
        return std::nullopt;
    return digest;
}

std::optional<std::string> Hex(const std::optional<std::string>& digest) {
    if (!digest) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest->size());
    for (const unsigned char byte : *digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0F];
    }
    return hex;
}

}  // namespace

std::optional<std::string> HashOfFile(const std::filesystem::path& file, HashAlgorithm kind) {
    UniqueHandle input =
        OwnFileHandle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input) return std::nullopt;
    return HashOf(kind, [&input](BCRYPT_HASH_HANDLE hash) {
        std::vector<UCHAR> buffer(kReadSize);
        for (;;) {
            DWORD read = 0;
            if (!ReadFile(input.get(), buffer.data(), kReadSize, &read, nullptr)) return false;
            if (read == 0) return true;
            if (!HashPiece(hash, buffer.data(), read)) return false;
        }
    });
}

std::optional<std::string> Sha256OfFile(const std::filesystem::path& file) {
    return Hex(HashOfFile(file, HashAlgorithm::kSha256));
}

std::optional<std::string> Sha256OfBytes(std::string_view bytes) {
    return Hex(HashOf(HashAlgorithm::kSha256, [bytes](BCRYPT_HASH_HANDLE hash) {
        return HashPiece(hash, bytes.data(), static_cast<ULONG>(bytes.size()));
    }));
}

std::string Base64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j)
            group = group << 8 | (j < count ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            text += j <= count ? kBase64[group >> (18 - 6 * j) & 0x3F] : '=';
    }
    return text;
}

std::optional<std::string> FromBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const bool padded = i + 4 == text.size() && j >= 4 - padding;
            const char* at = padded ? kBase64 : std::strchr(kBase64, text[i + j]);
            if (!at || !*at) return std::nullopt;  // not of the alphabet, or a '=' inside
            group = group << 6 | static_cast<std::uint32_t>(at - kBase64);
        }
        for (std::size_t j = 0; j < 3; ++j)
            bytes += static_cast<char>(group >> (16 - 8 * j) & 0xFF);
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace murk::setup
