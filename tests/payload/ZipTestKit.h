#pragma once
// Test kit: hand-made ZIP archives (good and hostile), scratch folders, file helpers.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "uPayload.h"

namespace kit {

namespace fs = std::filesystem;

std::string Deflate(const std::string& data);
uint32_t Crc32(const std::string& data);

// One entry of a hand-made archive. Every field written follows from Name, Data and Method
// unless an override says otherwise, so that a test states only what it breaks.
struct TEntry {
    std::string Name;
    std::string Data;
    uint16_t Method = 8;
    uint16_t Flags = 0x0800;
    bool Descriptor = false;         // bit 3, sizes and CRC after the data
    bool DescriptorSignature = true; // with the optional PK\7\8 in front of the descriptor
    std::string CentralExtra;
    std::string LocalExtra;
    std::optional<std::string> Raw; // data bytes written instead of compressing Data
    std::optional<uint32_t> CentralCrc, CentralCSize, CentralUSize, CentralOffset;
    std::optional<uint32_t> LocalCrc, LocalCSize, LocalUSize;
    std::optional<std::string> LocalName;
    std::optional<uint16_t> LocalMethod, LocalFlags, CentralDisk;
};

struct TArchive {
    std::vector<TEntry> Entries;
    std::string Comment;
    std::string Build() const;
};

// Offset of the end record in an archive built without comment.
inline size_t EndRecord(const std::string& zip) {
    return zip.size() - 22;
}
void Patch16(std::string& s, size_t at, uint16_t v);
void Patch32(std::string& s, size_t at, uint32_t v);

// The Info-ZIP Unicode Path extra field for a stored name.
std::string UnicodePathExtra(const std::string& storedName, const std::string& utf8,
                             bool goodCrc = true);

// A fresh folder below the system's temporary folder, removed with the object.
class TScratch {
public:
    TScratch();
    ~TScratch();
    const fs::path& Path() const { return FPath; }
    fs::path operator/(const std::string& rel) const { return FPath / fs::u8path(rel); }

private:
    fs::path FPath;
};

void WriteFile(const fs::path& p, const std::string& data);
std::string ReadFile(const fs::path& p);
// The extended form (\\?\C:\...) on Windows, for trees deeper than 260 characters.
fs::path LongPath(const fs::path& p);
// Relative path (generic, UTF-8; folders end in "/") to content.
std::map<std::string, std::string> Tree(const fs::path& dir);
// Every path (files and folders) found below dir, relative, UTF-8.
std::vector<std::string> ListAll(const fs::path& dir);

// The real file layer with the executable, the temporary folder and the clock chosen by a test.
class TPointedPlatform : public TSystemPayloadPlatform {
public:
    std::wstring Exe;
    std::wstring Temp; // with the trailing separator
    TLocalTime Time{2026, 5, 17, 0, 6, 4};
    std::wstring ExePath() override { return Exe; }
    std::wstring TempPath() override { return Temp; }
    TLocalTime Now() override { return Time; }
};

// An extractor on that platform; Temp is created.
std::unique_ptr<TPayloadExtractor> ExtractorFor(const fs::path& exe, const fs::path& temp,
                                                TLocalTime time = {2026, 5, 17, 0, 6, 4});

// A PE32+ image with one section, ".cvseal", holding an unsealed seal followed by body: what
// the packer needs of a stub, small enough to sign in a test.
std::string SealableStub(const std::string& body);
// The offset of the seal in SealableStub's image.
inline constexpr size_t SEALABLE_STUB_SEAL_AT = 0x200;

std::wstring Wide(const fs::path& p);
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& w);

} // namespace kit
