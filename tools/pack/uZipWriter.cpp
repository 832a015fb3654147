#include "uZipWriter.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <zlib.h>

namespace {

constexpr uint16_t FLAG_UTF8 = 0x0800;
constexpr size_t CHUNK = 256 * 1024;

void Put16(std::string& s, uint16_t v) {
    s.push_back(char(v & 0xFF));
    s.push_back(char(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(char((v >> (8 * i)) & 0xFF));
}

int SeekFile(std::FILE* f, int64_t off) {
#ifdef _WIN32
    return _fseeki64(f, off, SEEK_SET);
#else
    return fseeko(f, static_cast<off_t>(off), SEEK_SET);
#endif
}

int64_t TellFile(std::FILE* f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return static_cast<int64_t>(ftello(f));
#endif
}

std::FILE* OpenSource(const std::filesystem::path& p) {
#ifdef _WIN32
    return _wfopen(p.c_str(), L"rb");
#else
    return std::fopen(p.c_str(), "rb");
#endif
}

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

std::string Quoted(const std::filesystem::path& p) {
    return "\"" + p.string() + "\"";
}

} // namespace

TZipWriter::TZipWriter(std::FILE* f, uint64_t limit)
    : FFile(f), FLimit(std::min(limit, MAX_ARCHIVE)), FBase(TellFile(f)) {
    if (FBase < 0)
        throw EPackError("cannot find the position in the output file");
}

void TZipWriter::Put(const void* p, size_t n) {
    if (n && std::fwrite(p, 1, n, FFile) != n)
        throw EPackError(std::string("cannot write the output file: ") + std::strerror(errno));
    FPos += n;
}

void TZipWriter::SeekTo(uint64_t archiveOffset) {
    if (SeekFile(FFile, FBase + int64_t(archiveOffset)) != 0)
        throw EPackError(std::string("cannot seek in the output file: ") + std::strerror(errno));
    FPos = archiveOffset;
}

uint32_t TZipWriter::Offset32(uint64_t v, const char* what) const {
    if (v >= FLimit || v >= 0xFFFFFFFFull)
        throw EPackError(std::string(what) + " reaches 4 GiB; ZIP64 archives are not supported");
    return uint32_t(v);
}

void TZipWriter::WriteLocalHeader(const TCentral& c) {
    std::string h;
    Put32(h, 0x04034B50);
    Put16(h, c.Method == 8 ? 20 : 10);
    Put16(h, FLAG_UTF8);
    Put16(h, c.Method);
    Put16(h, FIXED_TIME);
    Put16(h, FIXED_DATE);
    Put32(h, c.Crc);
    Put32(h, c.CompressedSize);
    Put32(h, c.Size);
    Put16(h, uint16_t(c.Name.size()));
    Put16(h, 0);
    h += c.Name;
    Put(h.data(), h.size());
}

void TZipWriter::AddFolder(const std::string& utf8Name) {
    if (FEntries.size() >= MAX_ENTRIES)
        throw EPackError("more than 65,534 entries; ZIP64 archives are not supported");
    TCentral c{utf8Name, 0, 0, 0, 0, Offset32(FPos, "the archive"), 0x10};
    WriteLocalHeader(c);
    FEntries.push_back(c);
}

void TZipWriter::AddFile(const std::string& utf8Name, const std::filesystem::path& source) {
    if (FEntries.size() >= MAX_ENTRIES)
        throw EPackError("more than 65,534 entries; ZIP64 archives are not supported");
    TFilePtr in(OpenSource(source));
    if (!in)
        throw EPackError("cannot open " + Quoted(source) + ": " + std::strerror(errno));

    TCentral c{utf8Name, 8, 0, 0, 0, Offset32(FPos, "the archive"), 0};
    const uint64_t headerAt = FPos;
    WriteLocalHeader(c);
    const uint64_t dataAt = FPos;

    // First try deflate, streaming straight into the output.
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw EPackError("zlib could not start deflating");
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, deflateEnd);
    std::vector<unsigned char> inBuf(CHUNK), outBuf(CHUNK);
    uint64_t size = 0;
    uLong crc = crc32(0, nullptr, 0);
    int flush = Z_NO_FLUSH;
    do {
        const size_t got = std::fread(inBuf.data(), 1, inBuf.size(), in.get());
        if (std::ferror(in.get()))
            throw EPackError("cannot read " + Quoted(source) + ": " + std::strerror(errno));
        size += got;
        crc = crc32(crc, inBuf.data(), uInt(got));
        flush = std::feof(in.get()) ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = inBuf.data();
        zs.avail_in = uInt(got);
        do {
            zs.next_out = outBuf.data();
            zs.avail_out = uInt(outBuf.size());
            deflate(&zs, flush);
            Put(outBuf.data(), outBuf.size() - zs.avail_out);
        } while (zs.avail_out == 0);
    } while (flush != Z_FINISH);
    if (size >= 0xFFFFFFFFull)
        throw EPackError(Quoted(source) + " reaches 4 GiB; ZIP64 archives are not supported");
    c.Size = uint32_t(size);
    c.Crc = uint32_t(crc);
    c.CompressedSize = Offset32(FPos - dataAt, "the archive");

    if (c.CompressedSize >= c.Size) {
        // Did not shrink: write it again, stored, over the deflated bytes.
        c.Method = 0;
        SeekTo(dataAt);
        std::rewind(in.get());
        uLong again = crc32(0, nullptr, 0);
        uint64_t copied = 0;
        for (;;) {
            const size_t got = std::fread(inBuf.data(), 1, inBuf.size(), in.get());
            if (std::ferror(in.get()))
                throw EPackError("cannot read " + Quoted(source) + ": " + std::strerror(errno));
            if (got == 0)
                break;
            again = crc32(again, inBuf.data(), uInt(got));
            copied += got;
            Put(inBuf.data(), got);
        }
        if (again != crc || copied != size)
            throw EPackError(Quoted(source) + " changed while it was being packed");
        c.CompressedSize = c.Size;
    }
    const uint64_t endAt = FPos;
    SeekTo(headerAt);
    WriteLocalHeader(c);
    SeekTo(endAt);
    Offset32(endAt, "the archive");
    FEntries.push_back(c);
}

uint64_t TZipWriter::Finish() {
    const uint32_t cdOffset = Offset32(FPos, "the archive");
    for (const TCentral& c : FEntries) {
        std::string h;
        Put32(h, 0x02014B50);
        Put16(h, 20); // made by: MS-DOS attributes, version 2.0
        Put16(h, c.Method == 8 || c.ExternalAttr ? 20 : 10);
        Put16(h, FLAG_UTF8);
        Put16(h, c.Method);
        Put16(h, FIXED_TIME);
        Put16(h, FIXED_DATE);
        Put32(h, c.Crc);
        Put32(h, c.CompressedSize);
        Put32(h, c.Size);
        Put16(h, uint16_t(c.Name.size()));
        Put16(h, 0); // extra
        Put16(h, 0); // comment
        Put16(h, 0); // disk
        Put16(h, 0); // internal attributes
        Put32(h, c.ExternalAttr);
        Put32(h, c.LocalOffset);
        h += c.Name;
        Put(h.data(), h.size());
    }
    const uint32_t cdSize = Offset32(FPos - cdOffset, "the archive");
    std::string e;
    Put32(e, 0x06054B50);
    Put16(e, 0);
    Put16(e, 0);
    Put16(e, uint16_t(FEntries.size()));
    Put16(e, uint16_t(FEntries.size()));
    Put32(e, cdSize);
    Put32(e, cdOffset);
    Put16(e, 0);
    Put(e.data(), e.size());
    if (FPos >= FLimit)
        throw EPackError("the archive reaches 4 GiB; ZIP64 archives are not supported");
    return FPos;
}
