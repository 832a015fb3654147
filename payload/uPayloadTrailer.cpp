#include "uPayloadTrailer.h"

#include <cstring>

namespace {

uint16_t Le16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

constexpr uint64_t MAX_ALIGNMENT_PADDING = 7;
constexpr unsigned SECURITY_DIRECTORY = 4;

} // namespace

bool FindCertificateTable(TZipInput& file, uint64_t& tableStart) {
    try {
        const uint64_t size = file.Size();
        unsigned char dos[64];
        if (size < sizeof dos)
            return false;
        file.ReadAt(0, dos, sizeof dos);
        if (dos[0] != 'M' || dos[1] != 'Z')
            return false;
        const uint64_t pe = Le32(dos + 0x3C);
        unsigned char coff[24];
        if (pe > size || size - pe < sizeof coff)
            return false;
        file.ReadAt(pe, coff, sizeof coff);
        if (Le32(coff) != 0x00004550) // "PE\0\0"
            return false;
        const uint64_t optStart = pe + sizeof coff;
        const uint16_t optSize = Le16(coff + 20);
        if (size - optStart < optSize)
            return false;
        unsigned char opt[2];
        if (optSize < sizeof opt)
            return false;
        file.ReadAt(optStart, opt, sizeof opt);
        uint64_t countAt, dirsAt;
        switch (Le16(opt)) {
        case 0x10B: // PE32
            countAt = 92, dirsAt = 96;
            break;
        case 0x20B: // PE32+
            countAt = 108, dirsAt = 112;
            break;
        default:
            return false;
        }
        const uint64_t entryAt = dirsAt + 8 * SECURITY_DIRECTORY;
        if (optSize < entryAt + 8)
            return false;
        unsigned char b[8];
        file.ReadAt(optStart + countAt, b, 4);
        if (Le32(b) <= SECURITY_DIRECTORY)
            return false;
        file.ReadAt(optStart + entryAt, b, 8);
        // For this directory the address is a file offset, not a virtual address.
        const uint64_t start = Le32(b), length = Le32(b + 4);
        if (start == 0 || length < 8 || start < optStart + optSize || start + length != size)
            return false;
        // The first WIN_CERTIFICATE must fit in the table.
        file.ReadAt(start, b, 8);
        const uint32_t first = Le32(b);
        if (first < 8 || first > length)
            return false;
        tableStart = start;
        return true;
    } catch (const EZipError&) {
        return false;
    }
}

uint64_t PayloadFileEnd(TZipInput& file) {
    uint64_t end;
    if (!FindCertificateTable(file, end))
        return file.Size();
    // Signing tools align the table to 8 bytes with zeros. The trailer ends in 'P', never in a
    // zero, so stripping zeros cannot cut into it.
    unsigned char pad[MAX_ALIGNMENT_PADDING];
    const uint64_t n = end < MAX_ALIGNMENT_PADDING ? end : MAX_ALIGNMENT_PADDING;
    try {
        file.ReadAt(end - n, pad, size_t(n));
    } catch (const EZipError&) {
        return file.Size();
    }
    for (uint64_t i = n; i > 0 && pad[i - 1] == 0; --i)
        --end;
    return end;
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
