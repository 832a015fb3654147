#include "uPack.h"

#include <charconv>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <vector>

#include "uPayloadSeal.h"
#include "uPayloadTrailer.h"
#include "uSha256.h"
#include "uZipFiles.h"
#include "uZipNames.h"
#include "uZipReader.h"
#include "uZipWriter.h"

namespace fs = std::filesystem;

namespace {

const char* const USAGE = "usage:\n"
                          "  pack pack STUB.exe DIR OUT.exe\n"
                          "  pack list SETUP.exe\n"
                          "  pack extract SETUP.exe DIR [THREADS]\n"
                          "  pack verify SETUP.exe [DIR]\n"
                          "  pack stamp PROGRAM.exe X.Y.Z\n";

std::wstring Wide(const std::string& s) {
    std::wstring w;
    if (!DecodeUtf8(s, w))
        w = DecodeCp437(s);
    return w;
}

std::string Narrow(const std::wstring& w) {
    return WideToUtf8(w);
}

fs::path PathOf(const std::string& arg) {
#ifdef _WIN32
    return fs::path(Wide(arg));
#else
    return fs::path(arg);
#endif
}

std::string Utf8Of(const fs::path& p) {
    const auto u8 = p.generic_u8string();
    return std::string(u8.begin(), u8.end());
}

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

std::FILE* OpenFile(const fs::path& p, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(p.c_str(), wmode.c_str());
#else
    return std::fopen(p.c_str(), mode);
#endif
}

// 65534 as "65,534".
std::string Thousands(size_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            s += ',';
        s += digits[i];
    }
    return s;
}

struct TSource {
    std::string Name; // archive name, UTF-8, folders ending in "/"
    fs::path Path;
    bool Folder;
};

// Everything below dir, sorted by name so that the archive does not depend on the order in
// which the file system lists folders. Refused: names the setup program would refuse, names
// that hold a backslash (a folder separator on Windows), and two names that are one on Windows
// because letter case does not count there (they would overwrite each other, or a file would
// stand where a folder must be made).
std::vector<TSource> CollectSources(const fs::path& dir, size_t maxEntries) {
    std::vector<TSource> list;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec), end;
    if (ec)
        throw EPackError("cannot read folder \"" + dir.string() + "\": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec)
            throw EPackError("cannot read folder \"" + dir.string() + "\": " + ec.message());
        const fs::directory_entry& de = *it;
        std::string name = Utf8Of(fs::relative(de.path(), dir));
        const fs::file_status st = de.symlink_status();
        if (fs::is_symlink(st))
            throw EPackError("\"" + name + "\" is a symbolic link; links are not packed");
        const bool folder = fs::is_directory(st);
        if (!folder && !fs::is_regular_file(st))
            throw EPackError("\"" + name + "\" is not a regular file or folder");
        if (name.find('\\') != std::string::npos)
            throw EPackError("\"" + name +
                             "\" holds a backslash, which Windows reads as a folder separator");
        if (folder)
            name += '/';
        else if (de.file_size() >= 0xFFFFFFFFull)
            throw EPackError("\"" + name + "\" reaches 4 GiB; ZIP64 archives are not supported");
        std::wstring wide;
        if (!DecodeUtf8(name, wide))
            throw EPackError("\"" + name + "\": name is not valid UTF-8");
        TEntryPath parts;
        const std::wstring why = CleanEntryName(wide, parts);
        if (!why.empty())
            throw EPackError("\"" + name + "\": the setup program would refuse this name (" +
                             Narrow(why) + ")");
        list.push_back({name, de.path(), folder});
        if (list.size() > maxEntries)
            throw EPackError("\"" + dir.string() + "\" holds more than " + Thousands(maxEntries) +
                             " files and folders; a ZIP archive without ZIP64 holds no more");
    }
    std::sort(list.begin(), list.end(),
              [](const TSource& a, const TSource& b) { return a.Name < b.Name; });
    std::map<std::wstring, size_t> folded;
    for (size_t i = 0; i < list.size(); ++i) {
        std::string bare = list[i].Name;
        if (list[i].Folder)
            bare.pop_back();
        std::wstring wide;
        DecodeUtf8(bare, wide);
        const auto [at, added] = folded.emplace(FoldNameCase(wide), i);
        if (added)
            continue;
        const TSource& a = list[at->second];
        const TSource& b = list[i];
        const auto kind = [](const TSource& x) { return x.Folder ? "a folder" : "a file"; };
        throw EPackError("\"" + a.Name + "\" (" + kind(a) + ") and \"" + b.Name + "\" (" + kind(b) +
                         ") are one name on Windows, where letter case does not count");
    }
    return list;
}

bool SeekTo(std::FILE* f, uint64_t at) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<long long>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

// The seal of the archive just written: its length and the SHA-256 of its bytes as they lie in
// the file.
TPayloadSeal SealOf(std::FILE* f, uint64_t offset, uint64_t length, const fs::path& name) {
    TPayloadSeal seal;
    seal.Sealed = true;
    seal.Length = length;
    TSha256 hash;
    std::vector<char> buf(1 << 20);
    if (!SeekTo(f, offset))
        throw EPackError("cannot read \"" + name.string() + "\": " + std::strerror(errno));
    for (uint64_t left = length; left > 0;) {
        const size_t want = left < buf.size() ? size_t(left) : buf.size();
        if (std::fread(buf.data(), 1, want, f) != want)
            throw EPackError("cannot read \"" + name.string() + "\": " + std::strerror(errno));
        hash.Update(buf.data(), want);
        left -= want;
    }
    seal.Sha256 = hash.Final();
    return seal;
}

int Pack(const std::string& stubArg, const std::string& dirArg, const std::string& outArg,
         const TPackLimits& limits, std::ostream& out) {
    const fs::path stub = PathOf(stubArg), dir = PathOf(dirArg), target = PathOf(outArg);
    uint64_t sealAt = 0;
    {
        std::unique_ptr<TZipInput> in = OpenZipInputFile(Wide(stubArg), true);
        if (LocatePayload(*in).Found)
            throw EPackError("\"" + stubArg + "\" already carries a payload");
        // The signature must cover the archive and the seal: sign the setup file after packing.
        uint64_t table;
        if (FindCertificateTable(*in, table))
            throw EPackError("\"" + stubArg +
                             "\" is signed; pack the unsigned executable and sign the setup file");
        // The setup program installs only the payload its seal names: a stub without the place
        // for one would install whatever is appended to it.
        std::string why;
        if (!FindSealInFile(*in, sealAt, why))
            throw EPackError("\"" + stubArg + "\" cannot be sealed: " + why);
        unsigned char bytes[PAYLOAD_SEAL_SIZE];
        in->ReadAt(sealAt, bytes, sizeof bytes);
        TPayloadSeal old;
        if (!ParseSeal(bytes, old) || old.Sealed)
            throw EPackError("\"" + stubArg + "\" is already sealed");
    }
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw EPackError("\"" + dirArg + "\" is not a folder");
    const std::vector<TSource> sources = CollectSources(dir, limits.MaxEntries);
    // The uninstall entry points at this file; without it "Uninstall" removes nothing.
    const bool uninstaller = std::any_of(sources.begin(), sources.end(), [](const TSource& s) {
        return !s.Folder && s.Name == "Uninstall Corvane Market Pos.exe";
    });
    if (!uninstaller)
        out << "warning: \"" << dirArg
            << "\" has no \"Uninstall Corvane Market Pos.exe\": the installed program cannot be "
               "removed from the list of programs\n";

    // Written beside the target and renamed at the end: a failed run leaves no half file.
    fs::path temp = target;
    temp += ".part";
    TFilePtr f(OpenFile(temp, "wb+"));
    uint64_t stubSize = 0;
    if (!f)
        throw EPackError("cannot create \"" + temp.string() + "\": " + std::strerror(errno));
    try {
        {
            TFilePtr s(OpenFile(stub, "rb"));
            if (!s)
                throw EPackError("cannot open \"" + stubArg + "\": " + std::strerror(errno));
            std::vector<char> buf(1 << 20);
            size_t got;
            stubSize = 0;
            while ((got = std::fread(buf.data(), 1, buf.size(), s.get())) > 0) {
                if (std::fwrite(buf.data(), 1, got, f.get()) != got)
                    throw EPackError("cannot write \"" + temp.string() +
                                     "\": " + std::strerror(errno));
                stubSize += got;
            }
            if (std::ferror(s.get()))
                throw EPackError("cannot read \"" + stubArg + "\": " + std::strerror(errno));
        }
        TZipWriter zip(f.get(), limits.MaxArchive);
        for (const TSource& s : sources) {
            if (s.Folder)
                zip.AddFolder(s.Name);
            else
                zip.AddFile(s.Name, s.Path);
        }
        const uint64_t length = zip.Finish();
        unsigned char trailer[16];
        MakePayloadTrailer(length, trailer);
        if (std::fwrite(trailer, 1, 16, f.get()) != 16 || std::fflush(f.get()) != 0)
            throw EPackError("cannot write \"" + temp.string() + "\": " + std::strerror(errno));
        const TPayloadSeal seal = SealOf(f.get(), stubSize, length, temp);
        unsigned char bytes[PAYLOAD_SEAL_SIZE];
        WriteSeal(seal, bytes);
        if (!SeekTo(f.get(), sealAt) ||
            std::fwrite(bytes, 1, sizeof bytes, f.get()) != sizeof bytes ||
            std::fflush(f.get()) != 0)
            throw EPackError("cannot write \"" + temp.string() + "\": " + std::strerror(errno));
        // Entries rewritten stored can leave deflated bytes beyond the real end.
        const uint64_t total = stubSize + length + 16;
        f.reset();
        fs::resize_file(temp, total);
        fs::rename(temp, target);
        out << "packed " << sources.size() << " entries, archive " << length << " bytes, into "
            << outArg << "\nsealed: SHA-256 " << DigestHex(seal.Sha256) << "\n";
    } catch (...) {
        f.reset();
        fs::remove(temp, ec);
        throw;
    }
    return 0;
}

// The payload of a setup file as an input of its own.
struct TOpenedPayload {
    std::unique_ptr<TZipInput> File;
    std::unique_ptr<TZipSliceInput> Archive;
    uint64_t ArchiveOffset = 0;
};

TOpenedPayload OpenPayload(const std::string& setupArg) {
    TOpenedPayload p;
    p.File = OpenZipInputFile(Wide(setupArg), true);
    const TPayloadLocation loc = LocatePayload(*p.File);
    if (!loc.Found)
        throw EPackError("\"" + setupArg + "\" carries no payload (no CVPAYZIP trailer)");
    if (!loc.Error.empty())
        throw EPackError("\"" + setupArg + "\": " + Narrow(loc.Error));
    p.Archive = std::make_unique<TZipSliceInput>(*p.File, loc.Offset, loc.Length);
    p.ArchiveOffset = loc.Offset;
    return p;
}

int List(const std::string& setupArg, std::ostream& out) {
    TOpenedPayload p = OpenPayload(setupArg);
    TZipReader reader(*p.Archive);
    uint64_t total = 0;
    for (const TZipEntry& e : reader.Entries()) {
        out << std::setw(12) << e.Size << " " << std::setw(12) << e.CompressedSize << " "
            << (e.Method == 8 ? "deflate" : "stored ") << " " << Narrow(PrintableName(e.Name))
            << "\n";
        total += e.Size;
    }
    out << reader.Entries().size() << " entries, " << total << " bytes\n";
    return 0;
}

// threadsArg: how many threads extract side by side; empty, one per processor.
int Extract(const std::string& setupArg, const std::string& dirArg, const std::string& threadsArg,
            std::ostream& out) {
    unsigned threads = 0;
    if (!threadsArg.empty()) {
        const char* end = threadsArg.c_str() + threadsArg.size();
        const auto [stop, ec] = std::from_chars(threadsArg.c_str(), end, threads);
        if (ec != std::errc() || stop != end || threads == 0)
            throw EPackError("THREADS must be a whole number from 1 (got \"" + threadsArg + "\")");
    }
    TOpenedPayload p = OpenPayload(setupArg);
    TZipReader reader(*p.Archive);
    std::error_code ec;
    fs::create_directories(PathOf(dirArg), ec);
    if (!fs::is_directory(PathOf(dirArg), ec))
        throw EPackError("cannot create folder \"" + dirArg + "\"");
    std::unique_ptr<TZipTarget> target = CreateFolderTarget(Wide(dirArg));
    reader.ExtractAll(*target, {}, threads);
    out << "extracted " << reader.Entries().size() << " entries into " << dirArg << "\n";
    return 0;
}

// An entry's bytes as they stream out of the reader, compared with the file of the payload
// folder when there is one; the reader itself checks the size and the CRC-32.
class TCompareOut : public TZipOutFile {
public:
    TCompareOut(const fs::path& source, std::string name) : FName(std::move(name)) {
        if (source.empty())
            return;
        FSource.reset(OpenFile(source, "rb"));
        if (!FSource)
            throw EPackError("cannot open \"" + source.string() + "\": " + std::strerror(errno));
    }
    void Write(const void* buf, size_t n) override {
        if (!FSource)
            return;
        FBuf.resize(n);
        const size_t got = std::fread(FBuf.data(), 1, n, FSource.get());
        if (got != n || std::memcmp(FBuf.data(), buf, n) != 0) {
            size_t at = 0;
            while (at < got && FBuf[at] == static_cast<const char*>(buf)[at])
                ++at;
            throw EPackError("\"" + FName + "\" differs from the payload folder's file at byte " +
                             std::to_string(FPos + at));
        }
        FPos += n;
    }
    void Close() override {
        if (FSource && std::fgetc(FSource.get()) != EOF)
            throw EPackError("\"" + FName + "\" is longer in the payload folder (" +
                             std::to_string(FPos) + " bytes in the setup file)");
    }
    void Discard() override {}

private:
    std::string FName;
    TFilePtr FSource;
    std::vector<char> FBuf;
    uint64_t FPos = 0;
};

// The seal in the setup program against the archive it carries; raises on any difference.
std::string CheckSeal(TOpenedPayload& p) {
    uint64_t at = 0;
    std::string why;
    if (!FindSealInFile(*p.File, at, why))
        throw EPackError("seal: " + why);
    unsigned char bytes[PAYLOAD_SEAL_SIZE];
    p.File->ReadAt(at, bytes, sizeof bytes);
    TPayloadSeal seal;
    if (!ParseSeal(bytes, seal))
        throw EPackError("seal: damaged at offset " + std::to_string(at));
    if (!seal.Sealed)
        throw EPackError("seal: the setup program is not sealed (packed by hand?)");
    if (seal.Length != p.Archive->Size())
        throw EPackError("seal: names an archive of " + std::to_string(seal.Length) +
                         " bytes, the setup file carries " + std::to_string(p.Archive->Size()));
    TSha256 hash;
    std::vector<unsigned char> buf(1 << 20);
    for (uint64_t off = 0; off < seal.Length;) {
        const size_t n = seal.Length - off < buf.size() ? size_t(seal.Length - off) : buf.size();
        p.Archive->ReadAt(off, buf.data(), n);
        hash.Update(buf.data(), n);
        off += n;
    }
    const TSha256Digest got = hash.Final();
    if (got != seal.Sha256)
        throw EPackError("seal: the archive's SHA-256 is " + DigestHex(got) + ", the seal names " +
                         DigestHex(seal.Sha256));
    return "SHA-256 " + DigestHex(got) + " matches";
}

// Reads a setup file through without writing anything: trailer, directory and local headers,
// every entry's data against its CRC-32, names that Windows would fold into one, and, with a
// payload folder, every file and folder against that folder.
int Verify(const std::string& setupArg, const std::string& dirArg, std::ostream& out) {
    TOpenedPayload p = OpenPayload(setupArg);
    uint64_t table = 0;
    const bool isSigned = FindCertificateTable(*p.File, table);
    TZipReader reader(*p.Archive);

    std::map<std::string, TSource> sources;
    if (!dirArg.empty()) {
        std::error_code ec;
        if (!fs::is_directory(PathOf(dirArg), ec))
            throw EPackError("\"" + dirArg + "\" is not a folder");
        for (TSource& s : CollectSources(PathOf(dirArg), SIZE_MAX))
            sources.emplace(s.Name, std::move(s));
    }
    std::map<std::wstring, std::string> folded;
    uint64_t bytes = 0;
    for (const TZipEntry& e : reader.Entries()) {
        const std::string name = Narrow(e.Name);
        std::wstring bare = e.Name;
        if (!bare.empty() && (bare.back() == L'/' || bare.back() == L'\\'))
            bare.pop_back();
        const auto [at, added] = folded.emplace(FoldNameCase(bare), name);
        if (!added)
            throw EPackError("\"" + at->second + "\" and \"" + name +
                             "\" are one name on Windows, where letter case does not count");
        fs::path source;
        if (!dirArg.empty()) {
            const auto it = sources.find(name);
            if (it == sources.end())
                throw EPackError("\"" + name + "\" is in the setup file but not in \"" + dirArg +
                                 "\"");
            source = it->second.Path;
            sources.erase(it);
        }
        if (e.Path.IsFolder)
            continue;
        TCompareOut cmp(source, name);
        reader.ExtractEntry(e, cmp);
        cmp.Close();
        bytes += e.Size;
    }
    if (!sources.empty())
        throw EPackError("\"" + sources.begin()->first + "\" is in \"" + dirArg +
                         "\" but not in the setup file (" + std::to_string(sources.size()) +
                         " missing)");
    out << "trailer: archive of " << p.Archive->Size() << " bytes at offset " << p.ArchiveOffset
        << "\n";
    out << "seal: " << CheckSeal(p) << "\n";
    if (isSigned)
        out << "signature: certificate table at offset " << table << " (" << p.File->Size() - table
            << " bytes)\n";
    else
        out << "signature: none\n";
    out << "verified " << reader.Entries().size() << " entries, " << bytes
        << " bytes: every CRC-32 correct";
    if (!dirArg.empty())
        out << ", identical to " << dirArg;
    out << "\n";
    return 0;
}

// The version of a release written into a built program's version resource, in place: the
// numbers of the fixed part and the FileVersion and ProductVersion texts. The resource script
// reserves room for the longest version in those texts; the rest of the room is filled with NULs,
// so no length in the resource changes.
int Stamp(const std::string& file, const std::string& version, std::ostream& out) {
    unsigned parts[3] = {};
    {
        size_t at = 0;
        for (int i = 0; i < 3; ++i) {
            size_t used = 0;
            unsigned long n = 0;
            const std::string rest = version.substr(at);
            if (rest.empty() || rest[0] < '0' || rest[0] > '9')
                throw EPackError("version \"" + version + "\" is not X.Y.Z");
            n = std::stoul(rest, &used);
            if (n > 65535)
                throw EPackError("version \"" + version + "\": a part above 65535");
            parts[i] = static_cast<unsigned>(n);
            at += used;
            if (i < 2 && (at >= version.size() || version[at++] != '.'))
                throw EPackError("version \"" + version + "\" is not X.Y.Z");
        }
        if (at != version.size())
            throw EPackError("version \"" + version + "\" is not X.Y.Z");
    }
    std::vector<unsigned char> bytes;
    {
        TFilePtr f(OpenFile(PathOf(file), "rb"));
        if (!f)
            throw EPackError("cannot open " + file);
        unsigned char buf[65536];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
            bytes.insert(bytes.end(), buf, buf + n);
    }
    auto utf16 = [](const std::string& a) {
        std::vector<unsigned char> w;
        for (char c : a) {
            w.push_back(static_cast<unsigned char>(c));
            w.push_back(0);
        }
        w.push_back(0);
        w.push_back(0);
        return w;
    };
    auto find = [&bytes](const std::vector<unsigned char>& what, size_t from, size_t to) {
        const auto it =
            std::search(bytes.begin() + static_cast<long>(from),
                        bytes.begin() + static_cast<long>(to), what.begin(), what.end());
        return it == bytes.begin() + static_cast<long>(to)
                   ? std::string::npos
                   : static_cast<size_t>(it - bytes.begin());
    };
    auto word = [&bytes](size_t at) { return static_cast<size_t>(bytes[at] | bytes[at + 1] << 8); };
    auto put32 = [&bytes](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
    };
    const size_t key = find(utf16("VS_VERSION_INFO"), 0, bytes.size());
    if (key == std::string::npos || key < 6)
        throw EPackError(file + " has no version resource");
    const size_t root = key - 6;
    const size_t end = root + word(root);
    const size_t fixed = root + ((key + 32 - root + 3) & ~size_t(3));
    if (end > bytes.size() || fixed + 52 > end || bytes[fixed] != 0xBD ||
        bytes[fixed + 1] != 0x04 || bytes[fixed + 2] != 0xEF || bytes[fixed + 3] != 0xFE)
        throw EPackError(file + ": the version resource is not as expected");
    const uint32_t ms = parts[0] << 16 | parts[1], ls = parts[2] << 16;
    put32(fixed + 8, ms);
    put32(fixed + 12, ls);
    put32(fixed + 16, ms);
    put32(fixed + 20, ls);
    const std::string text = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
                             std::to_string(parts[2]) + ".0";
    for (const char* name : {"FileVersion", "ProductVersion"}) {
        const std::vector<unsigned char> k = utf16(name);
        const size_t at = find(k, fixed, end);
        if (at == std::string::npos || at < root + 6)
            throw EPackError(file + " has no " + name + " text");
        const size_t room = word(at - 4); // in characters, with the closing NUL
        const size_t value = root + ((at + k.size() - root + 3) & ~size_t(3));
        if (room < text.size() + 1 || value + room * 2 > end)
            throw EPackError(file + ": no room for the version in " + name);
        for (size_t i = 0; i < room; ++i) {
            bytes[value + 2 * i] = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
            bytes[value + 2 * i + 1] = 0;
        }
    }
    TFilePtr f(OpenFile(PathOf(file), "r+b"));
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size() ||
        std::fflush(f.get()) != 0)
        throw EPackError("cannot write " + file);
    out << file << ": version " << text << "\n";
    return 0;
}

} // namespace

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            const TPackLimits& limits) {
    const std::string cmd = args.empty() ? std::string() : args[0];
    const bool ok = (cmd == "pack" && args.size() == 4) || (cmd == "list" && args.size() == 2) ||
                    (cmd == "extract" && (args.size() == 3 || args.size() == 4)) ||
                    (cmd == "stamp" && args.size() == 3) ||
                    (cmd == "verify" && (args.size() == 2 || args.size() == 3));
    if (!ok) {
        err << USAGE;
        return 2;
    }
    try {
        if (cmd == "pack")
            return Pack(args[1], args[2], args[3], limits, out);
        if (cmd == "list")
            return List(args[1], out);
        if (cmd == "stamp")
            return Stamp(args[1], args[2], out);
        if (cmd == "verify")
            return Verify(args[1], args.size() == 3 ? args[2] : std::string(), out);
        return Extract(args[1], args[2], args.size() == 4 ? args[3] : std::string(), out);
    } catch (const EPackError& e) {
        err << "pack: " << e.what() << "\n";
    } catch (const EZipError& e) {
        err << "pack: " << Narrow(e.Message()) << "\n";
    } catch (const fs::filesystem_error& e) {
        err << "pack: " << e.what() << "\n";
    } catch (const std::bad_alloc&) {
        err << "pack: out of memory\n";
    }
    return 1;
}
