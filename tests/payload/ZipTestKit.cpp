#include "ZipTestKit.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <zlib.h>

#include "uZipNames.h"

namespace kit {

namespace {
void Put16(std::string& s, uint16_t v) {
    s.push_back(char(v & 0xFF));
    s.push_back(char(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(char((v >> (8 * i)) & 0xFF));
}
} // namespace

std::string Deflate(const std::string& data) {
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, uLong(data.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

uint32_t Crc32(const std::string& data) {
    return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

void Patch16(std::string& s, size_t at, uint16_t v) {
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8);
}
void Patch32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = char((v >> (8 * i)) & 0xFF);
}

std::string UnicodePathExtra(const std::string& storedName, const std::string& utf8, bool goodCrc) {
    std::string e;
    Put16(e, 0x7075);
    Put16(e, uint16_t(5 + utf8.size()));
    e.push_back(1);
    Put32(e, Crc32(storedName) ^ (goodCrc ? 0u : 0xFFu));
    e += utf8;
    return e;
}

std::string TArchive::Build() const {
    std::string zip, central;
    for (const TEntry& e : Entries) {
        const std::string data = e.Raw ? *e.Raw : (e.Method == 8 ? Deflate(e.Data) : e.Data);
        const uint32_t crc = Crc32(e.Data);
        const uint32_t csize = uint32_t(data.size()), usize = uint32_t(e.Data.size());
        const uint16_t flags = uint16_t(e.Flags | (e.Descriptor ? 0x0008 : 0));
        const uint32_t offset = uint32_t(zip.size());
        const std::string localName = e.LocalName ? *e.LocalName : e.Name;

        Put32(zip, 0x04034B50);
        Put16(zip, 20);
        Put16(zip, e.LocalFlags ? *e.LocalFlags : flags);
        Put16(zip, e.LocalMethod ? *e.LocalMethod : e.Method);
        Put16(zip, 0);
        Put16(zip, 0x21);
        Put32(zip, e.LocalCrc ? *e.LocalCrc : (e.Descriptor ? 0 : crc));
        Put32(zip, e.LocalCSize ? *e.LocalCSize : (e.Descriptor ? 0 : csize));
        Put32(zip, e.LocalUSize ? *e.LocalUSize : (e.Descriptor ? 0 : usize));
        Put16(zip, uint16_t(localName.size()));
        Put16(zip, uint16_t(e.LocalExtra.size()));
        zip += localName + e.LocalExtra + data;
        if (e.Descriptor) {
            if (e.DescriptorSignature)
                Put32(zip, 0x08074B50);
            Put32(zip, crc);
            Put32(zip, csize);
            Put32(zip, usize);
        }

        Put32(central, 0x02014B50);
        Put16(central, 20);
        Put16(central, 20);
        Put16(central, flags);
        Put16(central, e.Method);
        Put16(central, 0);
        Put16(central, 0x21);
        Put32(central, e.CentralCrc ? *e.CentralCrc : crc);
        Put32(central, e.CentralCSize ? *e.CentralCSize : csize);
        Put32(central, e.CentralUSize ? *e.CentralUSize : usize);
        Put16(central, uint16_t(e.Name.size()));
        Put16(central, uint16_t(e.CentralExtra.size()));
        Put16(central, 0);
        Put16(central, e.CentralDisk ? *e.CentralDisk : 0);
        Put16(central, 0);
        Put32(central, 0);
        Put32(central, e.CentralOffset ? *e.CentralOffset : offset);
        central += e.Name + e.CentralExtra;
    }
    const uint32_t cdOffset = uint32_t(zip.size());
    zip += central;
    Put32(zip, 0x06054B50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, uint16_t(Entries.size()));
    Put16(zip, uint16_t(Entries.size()));
    Put32(zip, uint32_t(central.size()));
    Put32(zip, cdOffset);
    Put16(zip, uint16_t(Comment.size()));
    zip += Comment;
    return zip;
}

TScratch::TScratch() {
    static std::mt19937_64 rng{std::random_device{}()};
    std::ostringstream name;
    name << "cvpay_test_" << std::hex << rng();
    FPath = fs::temp_directory_path() / name.str();
    fs::create_directories(FPath);
}

TScratch::~TScratch() {
    std::error_code ec;
    fs::remove_all(LongPath(FPath), ec);
}

void WriteFile(const fs::path& p, const std::string& data) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), std::streamsize(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + p.string());
}

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

fs::path LongPath(const fs::path& p) {
#ifdef _WIN32
    std::wstring a = fs::absolute(p).wstring();
    for (wchar_t& c : a)
        if (c == L'/')
            c = L'\\';
    return fs::path(a.rfind(L"\\\\?\\", 0) == 0 ? a : L"\\\\?\\" + a);
#else
    return p;
#endif
}

std::map<std::string, std::string> Tree(const fs::path& dir) {
    std::map<std::string, std::string> t;
    for (const auto& de : fs::recursive_directory_iterator(dir)) {
        const auto u8 = fs::relative(de.path(), dir).generic_u8string();
        std::string rel(u8.begin(), u8.end());
        if (de.is_directory())
            t[rel + "/"] = "";
        else
            t[rel] = ReadFile(de.path());
    }
    return t;
}

std::vector<std::string> ListAll(const fs::path& dir) {
    std::vector<std::string> all;
    for (const auto& m : Tree(dir))
        all.push_back(m.first);
    return all;
}

std::unique_ptr<TPayloadExtractor> ExtractorFor(const fs::path& exe, const fs::path& temp,
                                                TLocalTime time) {
    fs::create_directories(temp);
    auto p = std::make_unique<TPointedPlatform>();
    p->Exe = Wide(exe);
    p->Temp = Wide(temp) + p->PathDelim();
    p->Time = time;
    return std::make_unique<TPayloadExtractor>(std::move(p));
}

std::wstring Wide(const fs::path& p) {
#ifdef _WIN32
    return p.wstring();
#else
    return Wide(p.string());
#endif
}

std::wstring Wide(const std::string& utf8) {
    std::wstring w;
    DecodeUtf8(utf8, w);
    return w;
}

std::string Utf8(const std::wstring& w) {
    return WideToUtf8(w);
}

std::string SealableStub(const std::string& body) {
    const size_t raw = (PAYLOAD_SEAL_SIZE + body.size() + 0x1FF) & ~size_t(0x1FF);
    std::string s(0x200 + raw, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    Patch32(s, 0x3C, 0x80);
    s.replace(0x80, 4, std::string("PE\0\0", 4));
    Patch16(s, 0x84, 0x8664); // x64
    Patch16(s, 0x86, 1);      // one section
    Patch16(s, 0x94, 240);    // optional header
    Patch16(s, 0x96, 0x22);   // executable, large addresses
    const size_t opt = 0x98;
    Patch16(s, opt, 0x20B);
    Patch32(s, opt + 16, 0x1000); // entry point
    Patch32(s, opt + 20, 0x1000);
    Patch32(s, opt + 24, 0x40000000); // image base, low half
    Patch32(s, opt + 32, 0x1000);     // section alignment
    Patch32(s, opt + 36, 0x200);      // file alignment
    Patch16(s, opt + 40, 6);
    Patch16(s, opt + 48, 6);
    Patch32(s, opt + 56, uint32_t(0x1000 + ((raw + 0xFFF) & ~size_t(0xFFF)))); // image size
    Patch32(s, opt + 60, 0x200);                                               // headers
    Patch16(s, opt + 68, 3);                                                   // console
    Patch32(s, opt + 108, 16);                                                 // directories
    const size_t section = opt + 240;
    s.replace(section, 8, std::string(".cvseal\0", 8));
    Patch32(s, section + 8, uint32_t(raw));
    Patch32(s, section + 12, 0x1000);
    Patch32(s, section + 16, uint32_t(raw));
    Patch32(s, section + 20, 0x200);
    Patch32(s, section + 36, 0x40000040); // initialised data, readable
    s.replace(
        SEALABLE_STUB_SEAL_AT, sizeof PAYLOAD_SEAL_MAGIC,
        std::string(reinterpret_cast<const char*>(PAYLOAD_SEAL_MAGIC), sizeof PAYLOAD_SEAL_MAGIC));
    s.replace(SEALABLE_STUB_SEAL_AT + PAYLOAD_SEAL_SIZE, body.size(), body);
    return s;
}

} // namespace kit
