#pragma once
// The ZIP reader of the setup program: classic ZIP archives (no ZIP64), stored and deflated
// entries, checked against their central directory before anything is written, streamed in
// bounded chunks. Portable: the file system is reached only through TZipInput and TZipTarget.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
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

// Random-access bytes: an archive file, a slice of a setup file, a buffer. ReadAt is called from
// several threads at once while the entries are extracted side by side.
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

// The folder that receives the entries. Parts are already checked by CleanEntryName. The
// folders are all made first, on one thread; CreateFile is then called from several threads at
// once, each file written by one thread through its own TZipOutFile.
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

    // Bytes written so far and in all; called on the thread that called ExtractAll.
    using TProgress = std::function<void(uint64_t written, uint64_t total)>;

    // Writes every entry below the target: first the folders, in central directory order, then
    // the files side by side on `workers` threads (0: one per processor, at most MAX_WORKERS),
    // one entry at a time per thread. Entries that name the same file (whatever the case) stay
    // on one thread in their order, so the last one wins as it would one after another. An entry
    // whose data fails (damaged, wrong size or CRC) is removed again, the others stop at their
    // next chunk and remove theirs, and the error of the earliest failed entry is raised.
    // progress, when given, is called about ten times a second and once at the end.
    void ExtractAll(TZipTarget& target, const TProgress& progress = {}, unsigned workers = 0);

    // Streams one entry's data to out, checking size and CRC at the end.
    void ExtractEntry(const TZipEntry& entry, TZipOutFile& out);

    // Bytes of each read and write while streaming: memory stays bounded by these, per thread.
    static constexpr size_t CHUNK = 256 * 1024;
    static constexpr unsigned MAX_WORKERS = 16;

private:
    void ReadEndRecord();
    void ReadCentralDirectory();
    void CheckLocalHeaders();
    void CheckOverlaps();

    // One thread's buffers and the run it belongs to.
    struct TStream {
        std::vector<unsigned char> In, Out;
        const std::atomic<bool>* Stop = nullptr;  // set when another entry failed
        std::atomic<uint64_t>* Written = nullptr; // bytes written by every thread
    };
    void Stream(const TZipEntry& entry, TZipOutFile& out, TStream& s);

    TZipInput& FInput;
    uint64_t FCdOffset = 0;
    uint64_t FCdSize = 0;
    uint32_t FCount = 0;
    std::vector<TZipEntry> FEntries;
};

// "entry \"NAME\"", for messages.
std::wstring EntryLabel(const TZipEntry& entry);
