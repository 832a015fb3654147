#include "uPayloadTrailer.h"

#include <cstring>

uint64_t PayloadFileEnd(TZipInput& file) {
    return file.Size();
}

bool HasPayloadMagic(TZipInput& file, uint64_t end) {
    unsigned char tail[8];
    file.ReadAt(end - 8, tail, 8);
    return std::memcmp(tail, PAYLOAD_MAGIC, 8) == 0;
}

int64_t ReadPayloadLength(TZipInput& file, uint64_t end) {
    unsigned char b[8];
    file.ReadAt(end - PAYLOAD_TRAILER_SIZE, b, 8);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[i];
    return static_cast<int64_t>(v);
}

bool IsPayloadLengthValid(int64_t n, uint64_t end) {
    return end >= PAYLOAD_TRAILER_SIZE && n > 0 &&
           static_cast<uint64_t>(n) <= end - PAYLOAD_TRAILER_SIZE;
}

void MakePayloadTrailer(uint64_t n, unsigned char out[16]) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(n >> (8 * i));
    std::memcpy(out + 8, PAYLOAD_MAGIC, 8);
}

TPayloadLocation LocatePayload(TZipInput& file) {
    TPayloadLocation loc;
    const uint64_t end = PayloadFileEnd(file);
    if (end < PAYLOAD_TRAILER_SIZE || !HasPayloadMagic(file, end))
        return loc;
    loc.Found = true;
    const int64_t n = ReadPayloadLength(file, end);
    if (!IsPayloadLengthValid(n, end)) {
        loc.Error = L"invalid payload length " + std::to_wstring(n);
        return loc;
    }
    loc.Length = static_cast<uint64_t>(n);
    loc.Offset = end - PAYLOAD_TRAILER_SIZE - loc.Length;
    return loc;
}
