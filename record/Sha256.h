#pragma once

#include <cstddef>
#include <string>

// SHA-256 from the platform's library (OpenSSL's libcrypto, Windows' CNG).
class Sha256
{
public:
    // Lower-case hex, 64 digits; empty when the library failed.
    static std::string hex(const unsigned char* data, size_t size);
};
