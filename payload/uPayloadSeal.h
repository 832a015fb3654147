#pragma once
// The seal: the payload's length and SHA-256, written by the packer into a section of the setup
// program's own image (".cvseal"), so that the running program finds it in memory and an
// Authenticode signature covers it. A program that was built but never packed carries the
// section unsealed. Portable.
#include <cstdint>
#include <string>

#include "uSha256.h"
#include "uZipReader.h"

inline constexpr size_t PAYLOAD_SEAL_SIZE = 64;
inline constexpr char PAYLOAD_SEAL_SECTION[] = ".cvseal";
// 16 bytes that open the seal: the packer finds the seal by them inside the section.
inline constexpr unsigned char PAYLOAD_SEAL_MAGIC[16] = {'C', 'o', 'r', 'v', 'a', 'n', 'e', 'P',
                                                         'a', 'y', 'S', 'e', 'a', 'l', '0', '1'};

// Layout, little-endian: magic (16), state (4: 0 unsealed, 1 sealed), reserved (4),
// length (8), SHA-256 (32).
struct TPayloadSeal {
    bool Sealed = false;
    uint64_t Length = 0;
    TSha256Digest Sha256{};
};

// False when the bytes do not open with the magic, or the state is neither 0 nor 1.
bool ParseSeal(const unsigned char* bytes, TPayloadSeal& seal);
// The 64 bytes of a sealed seal.
void WriteSeal(const TPayloadSeal& seal, unsigned char out[PAYLOAD_SEAL_SIZE]);

// The seal in this program's own mapped image.
TPayloadSeal ProgramSeal();

// Where the seal lies in a PE file: the file offset of the magic inside the section named
// ".cvseal". False, with why set, when the file is no PE image, has no such section, or the
// magic is not found there exactly once.
bool FindSealInFile(TZipInput& file, uint64_t& offset, std::string& why);
