#include "uPayloadSeal.h"

#include <cstring>
#include <vector>

// The seal of this program, unsealed until the packer fills it in. Read through a laundered
// volatile pointer so that the compiler never folds the initial bytes into the code that checks
// them.
#ifdef _WIN32
#define CORVANE_SEAL_SECTION __attribute__((section(".cvseal"), used))
#else
#define CORVANE_SEAL_SECTION
#endif
extern "C" {
CORVANE_SEAL_SECTION const unsigned char CorvanePayloadSeal[PAYLOAD_SEAL_SIZE] = {
    'C', 'o', 'r', 'v', 'a', 'n', 'e', 'P', 'a', 'y', 'S', 'e', 'a', 'l', '0', '1'};
}

namespace {

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint64_t Le64(const unsigned char* p) {
    return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32);
}

} // namespace

std::string DigestHex(const TSha256Digest& d) {
    static const char* const digits = "0123456789abcdef";
    std::string s;
    for (unsigned char b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool ParseSeal(const unsigned char* bytes, TPayloadSeal& seal) {
    if (std::memcmp(bytes, PAYLOAD_SEAL_MAGIC, sizeof PAYLOAD_SEAL_MAGIC) != 0)
        return false;
    const uint32_t state = Le32(bytes + 16);
    if (state > 1)
        return false;
    seal.Sealed = state == 1;
    seal.Length = Le64(bytes + 24);
    std::memcpy(seal.Sha256.data(), bytes + 32, seal.Sha256.size());
    return true;
}

void WriteSeal(const TPayloadSeal& seal, unsigned char out[PAYLOAD_SEAL_SIZE]) {
    std::memset(out, 0, PAYLOAD_SEAL_SIZE);
    std::memcpy(out, PAYLOAD_SEAL_MAGIC, sizeof PAYLOAD_SEAL_MAGIC);
    out[16] = seal.Sealed ? 1 : 0;
    for (int i = 0; i < 8; ++i)
        out[24 + i] = static_cast<unsigned char>(seal.Length >> (8 * i));
    std::memcpy(out + 32, seal.Sha256.data(), seal.Sha256.size());
}

TPayloadSeal ProgramSeal() {
    const volatile unsigned char* image = CorvanePayloadSeal;
    asm volatile("" : "+r"(image));
    unsigned char bytes[PAYLOAD_SEAL_SIZE];
    for (size_t i = 0; i < PAYLOAD_SEAL_SIZE; ++i)
        bytes[i] = image[i];
    TPayloadSeal seal;
    // Damaged in memory cannot happen; should it, nothing sealed is trusted either.
    if (!ParseSeal(bytes, seal)) {
        seal.Sealed = true;
        seal.Length = 0;
    }
    return seal;
}

bool FindSealInFile(TZipInput& file, uint64_t& offset, std::string& why) {
    try {
        const uint64_t size = file.Size();
        unsigned char dos[64];
        if (size < sizeof dos) {
            why = "not a PE image";
            return false;
        }
        file.ReadAt(0, dos, sizeof dos);
        const uint64_t pe = Le32(dos + 0x3C);
        unsigned char coff[24];
        if (dos[0] != 'M' || dos[1] != 'Z' || pe > size || size - pe < sizeof coff) {
            why = "not a PE image";
            return false;
        }
        file.ReadAt(pe, coff, sizeof coff);
        if (Le32(coff) != 0x00004550) {
            why = "not a PE image";
            return false;
        }
        const unsigned sections = unsigned(coff[6] | (coff[7] << 8));
        const uint64_t table = pe + sizeof coff + unsigned(coff[20] | (coff[21] << 8));
        for (unsigned i = 0; i < sections; ++i) {
            unsigned char h[40];
            if (table + 40ull * (i + 1) > size)
                break;
            file.ReadAt(table + 40ull * i, h, sizeof h);
            if (std::memcmp(h, PAYLOAD_SEAL_SECTION, sizeof PAYLOAD_SEAL_SECTION) != 0)
                continue;
            const uint64_t rawSize = Le32(h + 16), rawAt = Le32(h + 20);
            if (rawAt > size || rawSize > size - rawAt || rawSize < PAYLOAD_SEAL_SIZE) {
                why = "the .cvseal section lies outside the file";
                return false;
            }
            std::vector<unsigned char> raw(static_cast<size_t>(rawSize));
            file.ReadAt(rawAt, raw.data(), raw.size());
            int found = 0;
            for (size_t at = 0; at + PAYLOAD_SEAL_SIZE <= raw.size(); ++at) {
                if (std::memcmp(raw.data() + at, PAYLOAD_SEAL_MAGIC, sizeof PAYLOAD_SEAL_MAGIC) ==
                    0) {
                    offset = rawAt + at;
                    ++found;
                }
            }
            if (found != 1) {
                why = found ? "the .cvseal section holds more than one seal"
                            : "the .cvseal section holds no seal";
                return false;
            }
            return true;
        }
        why = "no .cvseal section (not built from this source?)";
        return false;
    } catch (const EZipError&) {
        why = "not a PE image";
        return false;
    }
}
