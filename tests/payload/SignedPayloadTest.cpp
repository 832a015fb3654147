// The trailer of a signed setup file: the certificate table that signing appends, its padding,
// and PE headers that are damaged or lie.
#include <gtest/gtest.h>

#include "ZipTestKit.h"
#include "uPayload.h"
#include "uPayloadTrailer.h"

namespace {

namespace fs = std::filesystem;
using kit::TArchive;

constexpr size_t PE_AT = 0x80;
constexpr size_t OPT_AT = PE_AT + 24;
constexpr size_t SECURITY_ENTRY = OPT_AT + 112 + 4 * 8;

// A PE32+ header without sections, enough for the security directory, padded to 1 KiB.
std::string PeStub() {
    std::string s(1024, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    kit::Patch32(s, 0x3C, PE_AT);
    s.replace(PE_AT, 4, std::string("PE\0\0", 4));
    kit::Patch16(s, PE_AT + 4, 0x8664);
    kit::Patch16(s, PE_AT + 20, 240); // size of the optional header
    kit::Patch16(s, OPT_AT, 0x20B);
    kit::Patch32(s, OPT_AT + 108, 16); // data directories
    return s;
}

std::string Trailer(uint64_t n) {
    unsigned char t[16];
    MakePayloadTrailer(n, t);
    return std::string(reinterpret_cast<char*>(t), 16);
}

std::string Zip() {
    TArchive a;
    a.Entries.push_back({.Name = "CorvaneZideroZUR.exe", .Data = "till program"});
    a.Entries.push_back({.Name = "masaustu/", .Data = "", .Method = 0});
    return a.Build();
}

std::string Unsigned() {
    return PeStub() + Zip() + Trailer(Zip().size());
}

// Appends padding and a certificate table as a signing tool does, and records it in the header.
std::string Sign(std::string file, const std::string& padding, uint32_t tableLen = 1024) {
    file += padding;
    const uint32_t start = uint32_t(file.size());
    std::string table(tableLen, '\x5A');
    kit::Patch32(table, 0, tableLen);
    kit::Patch16(table, 4, 0x0200);
    kit::Patch16(table, 6, 0x0002);
    file += table;
    kit::Patch32(file, SECURITY_ENTRY, start);
    kit::Patch32(file, SECURITY_ENTRY + 4, tableLen);
    return file;
}

struct TCase {
    const char* What;
    std::string File;
    bool Found; // the payload is found and reads as the archive
};

std::vector<TCase> Cases() {
    std::vector<TCase> c;
    c.push_back({"unsigned", Unsigned(), true});
    for (size_t pad = 0; pad <= 7; ++pad)
        c.push_back({"signed, zero padding", Sign(Unsigned(), std::string(pad, '\0')), true});
    c.push_back({"signed, eight zero bytes: more than alignment",
                 Sign(Unsigned(), std::string(8, '\0')), false});
    c.push_back({"signed, padding not zero", Sign(Unsigned(), "\x01\x02\x03"), false});
    {
        std::string f = Sign(Unsigned(), "") + "tail";
        c.push_back({"table not at the end of the file", f, false});
    }
    {
        // Signed, then the trailer moved behind the table: the table no longer ends the file.
        c.push_back({"payload appended after signing",
                     Sign(PeStub(), "") + Zip() + Trailer(Zip().size()), true});
    }
    {
        std::string f = Unsigned();
        kit::Patch32(f, SECURITY_ENTRY, uint32_t(f.size() - 16));
        kit::Patch32(f, SECURITY_ENTRY + 4, 0x7FFFFFFF);
        c.push_back({"security directory larger than the file", f, true});
    }
    {
        std::string f = Unsigned();
        kit::Patch32(f, SECURITY_ENTRY, 0xFFFFFFF0);
        kit::Patch32(f, SECURITY_ENTRY + 4, 0x20);
        c.push_back({"security directory wrapping past 4 GiB", f, true});
    }
    {
        // The last bytes look like a certificate table, but the header does not say so.
        std::string f = Sign(Unsigned(), "");
        kit::Patch32(f, SECURITY_ENTRY, 0);
        kit::Patch32(f, SECURITY_ENTRY + 4, 0);
        c.push_back({"unsigned file ending like a certificate table", f, false});
    }
    {
        std::string f = Sign(Unsigned(), "");
        kit::Patch32(f, f.size() - 1024, 0); // WIN_CERTIFICATE length 0
        c.push_back({"table whose first certificate is empty", f, false});
    }
    {
        std::string f = Sign(Unsigned(), "");
        kit::Patch32(f, SECURITY_ENTRY, 0x10); // inside the headers
        kit::Patch32(f, SECURITY_ENTRY + 4, uint32_t(f.size() - 0x10));
        c.push_back({"table starting inside the headers", f, false});
    }
    // Damaged headers on a signed file: no table is recognised, so no trailer either.
    auto damaged = [&](const char* what, size_t at, uint32_t value, bool wide) {
        std::string f = Sign(Unsigned(), "");
        if (wide)
            kit::Patch32(f, at, value);
        else
            kit::Patch16(f, at, uint16_t(value));
        c.push_back({what, f, false});
        std::string u = Unsigned();
        if (wide)
            kit::Patch32(u, at, value);
        else
            kit::Patch16(u, at, uint16_t(value));
        c.push_back({what, u, true});
    };
    damaged("PE offset far outside", 0x3C, 0xFFFFFFF0, true);
    damaged("PE offset near the end", 0x3C, 0x3F0, true);
    damaged("no PE signature", PE_AT, 0x4551, true);
    damaged("optional header larger than the file", PE_AT + 20, 0xFFFF, false);
    damaged("optional header too small", PE_AT + 20, 100, false);
    damaged("unknown optional header", OPT_AT, 0x107, false);
    damaged("four data directories", OPT_AT + 108, 4, true);
    damaged("no MZ", 0, 0x5A4E, false);
    return c;
}

TEST(SignedPayload, TrailerEndFollowsTheCertificateTableRule) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.What);
        TZipMemoryInput in(c.File.data(), c.File.size());
        const TPayloadLocation loc = LocatePayload(in);
        EXPECT_EQ(loc.Found, c.Found);
        if (c.Found) {
            EXPECT_EQ(loc.Error, L"");
            EXPECT_EQ(loc.Length, Zip().size());
            EXPECT_EQ(c.File.substr(size_t(loc.Offset), size_t(loc.Length)), Zip());
        }
    }
}

TEST(SignedPayload, ShortAndEmptyFilesNeverCrash) {
    const std::string full = Sign(Unsigned(), "\0\0\0");
    for (size_t n = 0; n < full.size(); n += 7) {
        const std::string cut = full.substr(0, n);
        TZipMemoryInput in(cut.data(), cut.size());
        uint64_t start = 0;
        EXPECT_FALSE(FindCertificateTable(in, start)) << n;
        LocatePayload(in);
    }
}

// The extractor follows the same rule, with its messages measured from the new end.
class SignedExtraction : public ::testing::Test {
protected:
    kit::TScratch S;
    std::unique_ptr<TPayloadExtractor> X;
    fs::path Exe, Temp;
    void SetUp() override {
        Exe = S / "CorvaneMarketSetup.exe";
        Temp = S / "temp";
        X = kit::ExtractorFor(Exe, Temp, {2026, 1, 2, 3, 4, 5});
    }
};

TEST_F(SignedExtraction, SignedFileExtractsItsPayload) {
    kit::WriteFile(Exe, Sign(Unsigned(), std::string(5, '\0')));
    EXPECT_TRUE(X->HasPayload());
    const std::wstring dir = X->ExtractToTemp();
    EXPECT_EQ(dir, kit::Wide(Temp / "CorvaneMarketSetup_20260102030405"));
    const std::map<std::string, std::string> expect = {{"CorvaneZideroZUR.exe", "till program"},
                                                       {"masaustu/", ""}};
    EXPECT_EQ(kit::Tree(Temp / "CorvaneMarketSetup_20260102030405"), expect);
}

TEST_F(SignedExtraction, LengthCheckedAgainstTheEndBeforeTheTable) {
    // N = end - 16 + 1 is refused although the whole file is far longer.
    const std::string body = PeStub() + Zip();
    kit::WriteFile(Exe, Sign(body + Trailer(body.size() + 1), ""));
    try {
        X->ExtractToTemp();
        ADD_FAILURE() << "no error";
    } catch (const ESetupError& e) {
        EXPECT_EQ(e.Message(), L"Payload boyutu gecersiz: " + std::to_wstring(body.size() + 1));
    }
    X.reset();                                                  // it holds the file it read
    kit::WriteFile(Exe, Sign(body + Trailer(body.size()), "")); // N = end - 16
    X = kit::ExtractorFor(Exe, Temp, {2026, 1, 2, 3, 4, 5});
    EXPECT_THROW(X->ExtractToTemp(), ESetupError); // accepted length; the stub is no ZIP
}

TEST_F(SignedExtraction, NonZeroPaddingMeansNoPayload) {
    kit::WriteFile(Exe, Sign(Unsigned(), "\x07"));
    EXPECT_FALSE(X->HasPayload());
    EXPECT_EQ(X->ExtractToTemp(), L"");
    EXPECT_TRUE(fs::is_empty(Temp));
}

} // namespace
