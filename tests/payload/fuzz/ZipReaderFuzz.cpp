// libFuzzer target: the bytes are read as a setup file (trailer, then its archive) and as an
// archive of their own, and extracted into a target that only checks what it is given.
#include <cstdint>
#include <cstdlib>

#include "uPayloadTrailer.h"
#include "uZipReader.h"

namespace {

class TCheckingOut : public TZipOutFile {
public:
    void Write(const void*, size_t n) override { FBytes += n; }
    void Close() override {}
    void Discard() override {}

private:
    uint64_t FBytes = 0;
};

class TCheckingTarget : public TZipTarget {
public:
    void MakeFolder(const std::vector<std::wstring>& parts, size_t count) override {
        if (count == 0 || count > parts.size())
            std::abort();
        Check(parts);
    }
    std::unique_ptr<TZipOutFile> CreateFile(const std::vector<std::wstring>& parts) override {
        if (parts.empty())
            std::abort();
        Check(parts);
        return std::make_unique<TCheckingOut>();
    }

private:
    // Whatever reaches the file system must be a safe part on its own.
    static void Check(const std::vector<std::wstring>& parts) {
        for (const std::wstring& p : parts) {
            TEntryPath again;
            if (!CleanEntryName(p, again).empty() || again.Parts.size() != 1 || again.Parts[0] != p)
                std::abort();
        }
    }
};

void ReadArchive(TZipInput& in) {
    try {
        TZipReader reader(in);
        TCheckingTarget target;
        reader.ExtractAll(target);
    } catch (const EZipError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TZipMemoryInput file(data, size);
    ReadArchive(file);
    try {
        const TPayloadLocation loc = LocatePayload(file);
        if (loc.Found && loc.Error.empty()) {
            TZipSliceInput archive(file, loc.Offset, loc.Length);
            ReadArchive(archive);
        }
    } catch (const EZipError&) {
    }
    return 0;
}
