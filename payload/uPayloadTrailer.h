#pragma once
// The setup file's trailer: the archive's length N (signed 64-bit little-endian) and the magic
// "CVPAYZIP", the last 16 bytes before the file's payload end. Portable.
#include <cstdint>
#include <string>

#include "uZipReader.h"

inline constexpr unsigned char PAYLOAD_MAGIC[8] = {'C', 'V', 'P', 'A', 'Y', 'Z', 'I', 'P'};
inline constexpr uint64_t PAYLOAD_TRAILER_SIZE = 16;

// S, the end that the trailer is measured from: the file's size, or, for a signed PE file
// whose certificate table ends exactly at the end of the file, the start of that table less
// up to 7 zero bytes of alignment padding. Anything malformed counts as "not signed".
uint64_t PayloadFileEnd(TZipInput& file);

// True when the 8 bytes before end spell the magic exactly. end must be at least 8.
bool HasPayloadMagic(TZipInput& file, uint64_t end);

// The file offset of an Authenticode certificate table that ends exactly at the end of the
// file, as the PE header's security directory records it. False for anything else: not a PE
// image, a malformed header, no table, a table elsewhere or one reaching past the file.
bool FindCertificateTable(TZipInput& file, uint64_t& tableStart);

// N, read from the 8 bytes before the magic. end must be at least 16.
int64_t ReadPayloadLength(TZipInput& file, uint64_t end);

// N > 0 and N <= S - 16.
bool IsPayloadLengthValid(int64_t n, uint64_t end);

// The 16 trailer bytes for an archive of n bytes.
void MakePayloadTrailer(uint64_t n, unsigned char out[16]);

// Where the archive lies in a setup file, for the packer's list and extract. Found is false
// when the file has no trailer; Error is set when it has one that is not valid.
struct TPayloadLocation {
    bool Found = false;
    uint64_t Offset = 0;
    uint64_t Length = 0;
    std::wstring Error;
};
TPayloadLocation LocatePayload(TZipInput& file);
