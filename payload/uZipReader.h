#pragma once
// The ZIP reader of the setup program: classic ZIP archives (no ZIP64), stored and deflated
// entries, checked against their central directory before anything is written, streamed in
// bounded chunks. Portable: the file system is reached only through TZipInput and TZipTarget.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "uZipNames.h"

// Every failure of the reader and of its input and target, with a message naming the entry.
class EZipError : public std::exception {
public:
    explicit EZipError(std::wstring msg) : FMessage(std::move(msg)) {}
    const std::wstring& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return "EZipError"; }

private:
    std::wstring FMessage;
};

// Random-access bytes: an archive file, a slice of a setup file, a buffer.
class TZipInput {
public:
    virtual ~TZipInput() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly n bytes at off or raises EZipError.
    virtual void ReadAt(uint64_t off, void* buf, size_t n) = 0;
};

// One file being written. Raises EZipError on failure. Discard removes the file again.
class TZipOutFile {
public:
    virtual ~TZipOutFile() = default;
    virtual void Write(const void* buf, size_t n) = 0;
    virtual void Close() = 0;
    virtual void Discard() = 0;
};

// The folder that receives the entries. Parts are already checked by CleanEntryName.
class TZipTarget {
public:
    virtual ~TZipTarget() = default;
    // Creates the folder and any missing folders on the way (no error when it exists).
    virtual void MakeFolder(const std::vector<std::wstring>& parts, size_t count) = 0;
    // Creates the file, replacing one of the same name.
    virtual std::unique_ptr<TZipOutFile> CreateFile(const std::vector<std::wstring>& parts) = 0;
};

// The bytes [offset, offset + size) of another input, read as a whole input.
class TZipSliceInput : public TZipInput {
public:
    TZipSliceInput(TZipInput& base, uint64_t offset, uint64_t size);
    uint64_t Size() const override { return FSize; }
    void ReadAt(uint64_t off, void* buf, size_t n) override;

private:
    TZipInput& FBase;
    uint64_t FOffset;
    uint64_t FSize;
};

// A buffer held by the caller.
class TZipMemoryInput : public TZipInput {
public:
    TZipMemoryInput(const void* data, size_t size)
        : FData(static_cast<const unsigned char*>(data)), FSize(size) {}
    uint64_t Size() const override { return FSize; }
    void ReadAt(uint64_t off, void* buf, size_t n) override;

private:
    const unsigned char* FData;
    size_t FSize;
};

struct TZipEntry {
    std::wstring Name;   // decoded, as stored (for messages and listings)
    std::string RawName; // the stored bytes, compared with the local header
    TEntryPath Path;     // checked parts below the target folder
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
    uint32_t Crc = 0;
    uint32_t CompressedSize = 0;
    uint32_t Size = 0;
    uint64_t LocalOffset = 0; // local header
    uint64_t DataOffset = 0;  // first byte of the entry's data
    uint64_t End = 0;         // first byte after its data and data descriptor
};

class TZipReader {
public:
    // Reads and checks the whole directory: the end record, every central directory entry and
    // name, every local header and data descriptor, and that no two entries share bytes.
    // Raises EZipError; the input must outlive the reader.
    explicit TZipReader(TZipInput& input);

    const std::vector<TZipEntry>& Entries() const { return FEntries; }

    // Writes every entry below the target in central directory order. An entry whose data
    // fails (damaged, wrong size or CRC) is removed again and the error raised.
    void ExtractAll(TZipTarget& target);

    // Streams one entry's data to out, checking size and CRC at the end.
    void ExtractEntry(const TZipEntry& entry, TZipOutFile& out);

    // Bytes of each read and write while streaming: memory stays bounded by these.
    static constexpr size_t CHUNK = 256 * 1024;

private:
    void ReadEndRecord();
    void ReadCentralDirectory();
    void CheckLocalHeaders();
    void CheckOverlaps();

    TZipInput& FInput;
    uint64_t FCdOffset = 0;
    uint64_t FCdSize = 0;
    uint32_t FCount = 0;
    std::vector<TZipEntry> FEntries;
    std::vector<unsigned char> FInBuf;
    std::vector<unsigned char> FOutBuf;
};

// "entry \"NAME\"", for messages.
std::wstring EntryLabel(const TZipEntry& entry);
