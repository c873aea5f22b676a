#include "record/Sha256.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <cstdio>

namespace {

constexpr size_t kDigestBytes = 32;

std::string hexOf(const unsigned char* digest)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < kDigestBytes; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

} // namespace

std::string Sha256::hex(const unsigned char* data, size_t size)
{
    unsigned char digest[kDigestBytes];
#ifdef _WIN32
    // CNG hashes at most 4 GiB per call: fed in slices.
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    for (size_t done = 0; ok && done < size;) {
        const ULONG slice = static_cast<ULONG>(size - done > 0x40000000 ? 0x40000000 : size - done);
        ok = BCryptHashData(hash, const_cast<PUCHAR>(data + done), slice, 0) == 0;
        done += slice;
    }
    ok = ok && BCryptFinishHash(hash, digest, kDigestBytes, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok ? hexOf(digest) : std::string();
#else
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != kDigestBytes)
        return {};
    return hexOf(digest);
#endif
}
