#pragma once
// Writes the payload archive of a setup file: a classic ZIP (no ZIP64) whose offsets count from
// its own first byte, names in UTF-8 (flag bit 11), deflate for entries that shrink and stored
// for those that do not, fixed timestamps so that the same folder always gives the same bytes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

class TZipWriter {
public:
    // Appends to f from its current position, which becomes offset 0 of the archive. The file
    // must be open for update ("wb+") because entries that do not shrink are rewritten stored.
    explicit TZipWriter(std::FILE* f, uint64_t limit = MAX_ARCHIVE);

    void AddFolder(const std::string& utf8Name);
    void AddFile(const std::string& utf8Name, const std::filesystem::path& source);
    // Writes the central directory and the end record; returns the archive's length.
    uint64_t Finish();

    // A classic ZIP counts its entries in 16 bits, and 0xFFFF already tells readers to look
    // for ZIP64 records; its offsets and sizes are 32 bits.
    static constexpr size_t MAX_ENTRIES = 0xFFFE;
    static constexpr uint64_t MAX_ARCHIVE = uint64_t(1) << 32;

    // 1980-01-01 00:00:00, the earliest time the format can hold.
    static constexpr uint16_t FIXED_DATE = (1 << 5) | 1;
    static constexpr uint16_t FIXED_TIME = 0;

private:
    struct TCentral {
        std::string Name;
        uint16_t Method;
        uint32_t Crc;
        uint32_t CompressedSize;
        uint32_t Size;
        uint32_t LocalOffset;
        uint32_t ExternalAttr;
    };
    uint64_t Tell() const { return FPos; }
    void Put(const void* p, size_t n);
    void SeekTo(uint64_t archiveOffset);
    void WriteLocalHeader(const TCentral& c);
    uint32_t Offset32(uint64_t v, const char* what) const;

    std::FILE* FFile;
    uint64_t FLimit;   // the archive stays below this many bytes
    int64_t FBase;     // file position of archive offset 0
    uint64_t FPos = 0; // current archive offset
    std::vector<TCentral> FEntries;
};

// Thrown by the writer and the packer with a message for the user.
class EPackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
