#pragma once
// SHA-256 from the system: CNG (bcrypt.dll) on Windows, OpenSSL's libcrypto elsewhere. Raises
// EZipError when the system cannot hash.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using TSha256Digest = std::array<unsigned char, 32>;

class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    void Update(const void* data, size_t n);
    // The digest of everything given so far; the object is used up.
    TSha256Digest Final();

private:
    struct TImpl;
    std::unique_ptr<TImpl> F;
};

// Lower-case hexadecimal, for messages and the packer's output.
std::string DigestHex(const TSha256Digest& d);
