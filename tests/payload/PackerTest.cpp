// The packer: setup files it builds, what it refuses, and archives of other tools read by our
// reader (interoperability). Native build only: it runs the host's zip tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ZipTestKit.h"
#include "uPack.h"
#include "uPayload.h"
#include "uPayloadTrailer.h"
#include "uZipFiles.h"

namespace {

namespace fs = std::filesystem;
using kit::TArchive;

struct TRun {
    int Code;
    std::string Out, Err;
};

TRun Pack(std::vector<std::string> args, const TPackLimits& limits = TPackLimits()) {
    std::ostringstream out, err;
    const int code = RunPack(args, out, err, limits);
    return {code, out.str(), err.str()};
}

std::string Noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1664525 + 1013904223;
        c = char(seed >> 24);
    }
    return s;
}

// A source tree with what real payloads hold: nested folders, an empty folder, an empty file,
// text that compresses, bytes that do not, and (optionally) Turkish names.
void MakeSource(const fs::path& dir, bool nonAscii) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "satir " + std::to_string(i) + " CorvaneZideroZUR\r\n";
    kit::WriteFile(dir / "CorvaneZideroZUR.exe", "MZ" + Noise(70000, 1));
    kit::WriteFile(dir / "version.json", "{\"version\": \"2.4.1\"}\r\n");
    kit::WriteFile(dir / "CorvaneMarketServis" / "CorvaneMarketServer.exe",
                   "MZ" + Noise(5000, 2) + text);
    kit::WriteFile(dir / "masaustu" / "readme.txt", text);
    kit::WriteFile(dir / "masaustu" / "deep" / "er" / "zero.dat", "");
    fs::create_directories(dir / "Logs" / "empty");
    if (nonAscii)
        kit::WriteFile(dir / fs::u8path("masaustu/\xC3\x87"
                                        "al\xC4\xB1\xC5\x9F"
                                        "ma \xC5\x9F"
                                        "eker.txt"),
                       "turkce");
}

std::string Stub() {
    return kit::SealableStub(Noise(9000, 3));
}

// The seal a setup file's stub carries.
TPayloadSeal SealIn(const std::string& file) {
    TPayloadSeal seal;
    EXPECT_TRUE(ParseSeal(
        reinterpret_cast<const unsigned char*>(file.data()) + kit::SEALABLE_STUB_SEAL_AT, seal));
    return seal;
}

class Packer : public ::testing::Test {
protected:
    kit::TScratch S;
    fs::path Src, StubFile, Out;
    void SetUp() override {
        Src = S / "src";
        StubFile = S / "stub.exe";
        Out = S / "CorvaneMarketSetup.exe";
        MakeSource(Src, true);
        kit::WriteFile(StubFile, Stub());
    }
    TRun PackIt() { return Pack({"pack", StubFile.string(), Src.string(), Out.string()}); }
};

TEST_F(Packer, SetupFileIsStubArchiveAndTrailer) {
    const TRun r = PackIt();
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string file = kit::ReadFile(Out);
    ASSERT_GT(file.size(), Stub().size() + 16);
    // The stub as it was, but for its seal: the archive's length and SHA-256.
    const size_t sealEnd = kit::SEALABLE_STUB_SEAL_AT + PAYLOAD_SEAL_SIZE;
    EXPECT_EQ(file.substr(0, kit::SEALABLE_STUB_SEAL_AT),
              Stub().substr(0, kit::SEALABLE_STUB_SEAL_AT));
    EXPECT_EQ(file.substr(sealEnd, Stub().size() - sealEnd), Stub().substr(sealEnd));
    EXPECT_EQ(file.substr(file.size() - 8), "CVPAYZIP");
    int64_t n = 0;
    for (int i = 7; i >= 0; --i)
        n = (n << 8) | (unsigned char)file[file.size() - 16 + i];
    EXPECT_EQ(uint64_t(n), file.size() - 16 - Stub().size());
    const std::string archive = file.substr(Stub().size(), size_t(n));
    const TPayloadSeal seal = SealIn(file);
    EXPECT_TRUE(seal.Sealed);
    EXPECT_EQ(seal.Length, archive.size());
    TSha256 hash;
    hash.Update(archive.data(), archive.size());
    EXPECT_EQ(seal.Sha256, hash.Final());
    EXPECT_NE(r.Out.find("sealed: SHA-256 " + DigestHex(seal.Sha256)), std::string::npos) << r.Out;
    // The archive alone is a valid ZIP for other tools.
    kit::WriteFile(S / "alone.zip", archive);
    EXPECT_EQ(std::system(("unzip -tqq " + (S / "alone.zip").string() + " >/dev/null").c_str()), 0);
    EXPECT_FALSE(fs::exists(S / "CorvaneMarketSetup.exe.part"));
}

TEST_F(Packer, WarnsWhenThePayloadLacksTheUninstaller) {
    const std::string warning = "has no \"Uninstall Corvane Market Pos.exe\"";
    const TRun without = PackIt();
    ASSERT_EQ(without.Code, 0) << without.Err;
    EXPECT_NE(without.Out.find(warning), std::string::npos) << without.Out;
    // Only the file at the top counts: the uninstall entry points there.
    kit::WriteFile(Src / "masaustu" / "Uninstall Corvane Market Pos.exe", "MZ");
    EXPECT_NE(PackIt().Out.find(warning), std::string::npos);
    kit::WriteFile(Src / "Uninstall Corvane Market Pos.exe", "MZ" + Noise(3000, 4));
    const TRun with = PackIt();
    ASSERT_EQ(with.Code, 0) << with.Err;
    EXPECT_EQ(with.Out.find(warning), std::string::npos) << with.Out;
}

TEST_F(Packer, ExtractGivesTheSourceTreeBack) {
    ASSERT_EQ(PackIt().Code, 0);
    const TRun r = Pack({"extract", Out.string(), (S / "x").string()});
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(kit::Tree(S / "x"), kit::Tree(Src));
}

TEST_F(Packer, SetupProgramExtractsWhatThePackerWrote) {
    ASSERT_EQ(PackIt().Code, 0);
    auto x = kit::ExtractorFor(Out, S / "tmp");
    const std::wstring dir = x->ExtractToTemp();
    EXPECT_EQ(kit::Tree(fs::path(kit::Utf8(dir))), kit::Tree(Src));
}

TEST_F(Packer, ListShowsSortedEntriesAndMethods) {
    ASSERT_EQ(PackIt().Code, 0);
    const TRun r = Pack({"list", Out.string()});
    ASSERT_EQ(r.Code, 0) << r.Err;
    // Noise does not shrink: stored. Text does: deflated. Names sorted, folders with "/".
    EXPECT_NE(r.Out.find("stored  CorvaneZideroZUR.exe"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("deflate masaustu/readme.txt"), std::string::npos) << r.Out;
    EXPECT_LT(r.Out.find("CorvaneMarketServis/\n"),
              r.Out.find("CorvaneMarketServis/CorvaneMarketServer.exe"));
    EXPECT_LT(r.Out.find("Logs/"), r.Out.find("masaustu/"));
    EXPECT_NE(r.Out.find("Logs/empty/"), std::string::npos);
    EXPECT_NE(r.Out.find("12 entries"), std::string::npos) << r.Out;
}

TEST_F(Packer, SameInputsGiveTheSameBytes) {
    ASSERT_EQ(PackIt().Code, 0);
    const std::string first = kit::ReadFile(Out);
    // Other times and another creation order of the same files.
    fs::remove_all(Src);
    fs::create_directories(Src / "Logs" / "empty");
    MakeSource(Src, true);
    fs::last_write_time(Src / "version.json",
                        fs::file_time_type::clock::now() - std::chrono::hours(500));
    ASSERT_EQ(PackIt().Code, 0);
    EXPECT_EQ(kit::ReadFile(Out), first);
}

TEST_F(Packer, RefusesNamesTheSetupProgramWouldRefuseOrWindowsWouldMerge) {
    struct TCase {
        std::vector<std::string> Files, Folders;
        std::vector<std::string> Named; // every one must be in the message
    };
    const TCase cases[] = {
        {{"con.txt"}, {}, {"con.txt", "would refuse this name"}},
        {{"a:b.txt"}, {}, {"a:b.txt", "would refuse this name"}},
        {{"trail."}, {}, {"trail.", "would refuse this name"}},
        {{"what?.txt"}, {}, {"what?.txt", "would refuse this name"}},
        {{"masaustu/a\\b.txt"}, {}, {"masaustu/a\\b.txt", "backslash"}},
        {{"Config.json", "config.json"},
         {},
         {"\"Config.json\" (a file)", "\"config.json\" (a file)"}},
        {{"masaustu/readme"},
         {"masaustu/README"},
         {"\"masaustu/README/\" (a folder)", "\"masaustu/readme\" (a file)"}},
        // Turkish letters fold too: dotless i and i are one letter in upper case.
        {{"\xC3\x87"
          "al\xC4\xB1\xC5\x9F"
          "ma.TXT",
          "\xC3\xA7"
          "al\x69\xC5\x9E"
          "ma.txt"},
         {},
         {"a file"}},
        // Folders that differ in case would merge, and their files with them.
        {{"Logs/a.txt", "logs/b.txt"}, {}, {"\"Logs/\" (a folder)", "\"logs/\" (a folder)"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Named.front());
        for (const std::string& f : c.Files)
            kit::WriteFile(Src / fs::u8path(f), "x");
        for (const std::string& d : c.Folders)
            fs::create_directories(Src / d);
        const TRun r = PackIt();
        EXPECT_EQ(r.Code, 1);
        for (const std::string& n : c.Named)
            EXPECT_NE(r.Err.find(n), std::string::npos) << n << " in " << r.Err;
        EXPECT_FALSE(fs::exists(Out));
        EXPECT_FALSE(fs::exists(S / "CorvaneMarketSetup.exe.part"));
        fs::remove_all(Src);
        MakeSource(Src, true);
    }
}

TEST_F(Packer, EntryAndSizeLimitsOfAClassicZip) {
    // The real limits: 65,534 entries (0xFFFF would ask readers for ZIP64) and below 4 GiB.
    EXPECT_EQ(TPackLimits().MaxEntries, 65534u);
    EXPECT_EQ(TPackLimits().MaxArchive, uint64_t(1) << 32);
    // Made small here, at their edges: the source has 12 entries.
    TRun r = Pack({"pack", StubFile.string(), Src.string(), Out.string()}, {12, 1u << 30});
    ASSERT_EQ(r.Code, 0) << r.Err;
    const uint64_t archive = fs::file_size(Out) - Stub().size() - 16;
    fs::remove(Out);
    r = Pack({"pack", StubFile.string(), Src.string(), Out.string()}, {11, 1u << 30});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("holds more than 11 files and folders"), std::string::npos) << r.Err;

    // An archive that would reach the limit at its end record, and one that passes it in a file.
    for (const uint64_t limit : {archive, uint64_t(20000)}) {
        SCOPED_TRACE(limit);
        r = Pack({"pack", StubFile.string(), Src.string(), Out.string()}, {12, limit});
        EXPECT_EQ(r.Code, 1);
        EXPECT_NE(r.Err.find("reaches 4 GiB; ZIP64 archives are not supported"), std::string::npos)
            << r.Err;
        EXPECT_FALSE(fs::exists(Out));
        EXPECT_FALSE(fs::exists(S / "CorvaneMarketSetup.exe.part"));
    }
    r = Pack({"pack", StubFile.string(), Src.string(), Out.string()}, {12, archive + 1});
    EXPECT_EQ(r.Code, 0) << r.Err;
}

TEST_F(Packer, VerifyReadsASetupFileThroughWithoutWriting) {
    ASSERT_EQ(PackIt().Code, 0);
    TRun r = Pack({"verify", Out.string(), Src.string()});
    ASSERT_EQ(r.Code, 0) << r.Err;
    for (const std::string& line :
         {"at offset " + std::to_string(Stub().size()), std::string("signature: none"),
          "seal: SHA-256 " + DigestHex(SealIn(kit::ReadFile(Out)).Sha256) + " matches",
          std::string("verified 12 entries"), "identical to " + Src.string()})
        EXPECT_NE(r.Out.find(line), std::string::npos) << line << " in " << r.Out;
    const auto fault = [&](const fs::path& setup, bool withFolder, const std::string& text) {
        std::vector<std::string> args = {"verify", setup.string()};
        if (withFolder)
            args.push_back(Src.string());
        const TRun f = Pack(args);
        EXPECT_EQ(f.Code, 1);
        EXPECT_NE(f.Err.find(text), std::string::npos) << text << " in " << f.Err;
    };
    // The payload folder changed after packing: a byte of a file, a file more, a file less.
    const std::string readme = kit::ReadFile(Src / "masaustu" / "readme.txt");
    std::string changed = readme;
    changed[4321] ^= 0x20;
    kit::WriteFile(Src / "masaustu" / "readme.txt", changed);
    fault(Out, true, "\"masaustu/readme.txt\" differs from the payload folder's file at byte 4321");
    kit::WriteFile(Src / "Logs" / "new.txt", "n");
    fs::remove(Src / "masaustu" / "readme.txt");
    fault(Out, true, "\"masaustu/readme.txt\" is in the setup file but not in");
    kit::WriteFile(Src / "masaustu" / "readme.txt", readme);
    fault(Out, true, "\"Logs/new.txt\" is in");

    // One byte damaged in the stored till program's data, and a cut trailer.
    std::string bytes = kit::ReadFile(Out);
    const size_t data = bytes.find("CorvaneZideroZUR.exeMZ", Stub().size());
    ASSERT_NE(data, std::string::npos);
    bytes[data + 5000] ^= 0x01;
    kit::WriteFile(S / "damaged.exe", bytes);
    fault(S / "damaged.exe", false, "CRC error in entry \"CorvaneZideroZUR.exe\"");
    kit::WriteFile(S / "cut.exe", bytes.substr(0, bytes.size() - 3));
    fault(S / "cut.exe", false, "carries no payload");
    // A byte of the archive that only the seal covers (the first entry's time in its local
    // header), and a byte of the seal itself.
    bytes = kit::ReadFile(Out);
    bytes[Stub().size() + 10] ^= 0x01;
    kit::WriteFile(S / "resealed.exe", bytes);
    fault(S / "resealed.exe", false, "seal: the archive's SHA-256 is");
    bytes = kit::ReadFile(Out);
    bytes[kit::SEALABLE_STUB_SEAL_AT + 40] ^= 0x01;
    kit::WriteFile(S / "seal.exe", bytes);
    fault(S / "seal.exe", false, "seal: the archive's SHA-256 is");
    EXPECT_EQ(kit::ListAll(S.Path()).size(), kit::ListAll(Src).size() + 7) << "something written";
}

TEST_F(Packer, RefusesLinksStubsWithPayloadAndBadArguments) {
    fs::create_symlink("/etc/passwd", Src / "link");
    TRun r = PackIt();
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("symbolic link"), std::string::npos) << r.Err;
    fs::remove(Src / "link");

    ASSERT_EQ(PackIt().Code, 0);
    r = Pack({"pack", Out.string(), Src.string(), (S / "twice.exe").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("already carries a payload"), std::string::npos) << r.Err;

    // A stub built elsewhere has no place for the seal; a sealed one is not sealed twice.
    kit::WriteFile(S / "foreign.exe", "MZ" + Noise(9000, 3));
    r = Pack({"pack", (S / "foreign.exe").string(), Src.string(), (S / "o.exe").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("cannot be sealed"), std::string::npos) << r.Err;
    std::string sealed = Stub();
    sealed[kit::SEALABLE_STUB_SEAL_AT + 16] = 1;
    kit::WriteFile(S / "sealed.exe", sealed);
    r = Pack({"pack", (S / "sealed.exe").string(), Src.string(), (S / "o.exe").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("is already sealed"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(S / "o.exe"));

    r = Pack({"pack", StubFile.string(), (S / "missing").string(), (S / "o.exe").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("is not a folder"), std::string::npos) << r.Err;

    r = Pack({"pack", (S / "missing.exe").string(), Src.string(), (S / "o.exe").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("Cannot open file"), std::string::npos) << r.Err;

    r = Pack({"list", StubFile.string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("carries no payload"), std::string::npos) << r.Err;

    EXPECT_EQ(Pack({}).Code, 2);
    EXPECT_EQ(Pack({"pack", "a"}).Code, 2);
    EXPECT_EQ(Pack({"unpack", "a", "b"}).Code, 2);
}

TEST_F(Packer, ExtractRefusesHostileSetupFiles) {
    TArchive a;
    a.Entries.push_back({.Name = "good.txt", .Data = "g"});
    a.Entries.push_back({.Name = "..\\..\\escaped.txt", .Data = "e"});
    const std::string zip = a.Build();
    unsigned char t[16];
    MakePayloadTrailer(zip.size(), t);
    kit::WriteFile(Out, Stub() + zip + std::string(reinterpret_cast<char*>(t), 16));
    TRun r = Pack({"extract", Out.string(), (S / "x" / "y").string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("unsafe name refused"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(S / "x" / "y")); // refused before anything is created
    for (const std::string& p : kit::ListAll(S.Path()))
        EXPECT_EQ(p.find("escaped"), std::string::npos) << p;

    // A length in the trailer that does not fit.
    MakePayloadTrailer(1u << 30, t);
    kit::WriteFile(Out, Stub() + zip + std::string(reinterpret_cast<char*>(t), 16));
    r = Pack({"list", Out.string()});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("invalid payload length"), std::string::npos) << r.Err;
}

TEST_F(Packer, ExtractNeverWritesThroughLinksInTheTarget) {
    ASSERT_EQ(PackIt().Code, 0);
    const fs::path outside = S / "outside";
    kit::WriteFile(outside / "keep.txt", "untouched");
    for (const char* link : {"CorvaneMarketServis", "version.json"}) {
        SCOPED_TRACE(link);
        const fs::path target = S / "target";
        fs::remove_all(target);
        fs::create_directories(target);
        if (std::string(link) == "version.json")
            fs::create_symlink(outside / "keep.txt", target / link);
        else
            fs::create_directory_symlink(outside, target / link);
        const TRun r = Pack({"extract", Out.string(), target.string()});
        EXPECT_EQ(r.Code, 1);
        EXPECT_NE(r.Err.find("is a symbolic link"), std::string::npos) << r.Err;
        EXPECT_EQ(kit::ListAll(outside), std::vector<std::string>{"keep.txt"});
        EXPECT_EQ(kit::ReadFile(outside / "keep.txt"), "untouched");
    }
}

// --- Signed setup files ------------------------------------------------------------------

bool Have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int Sh(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

TEST_F(Packer, SignedWithOsslsigncodeStillExtracts) {
    if (!Have("osslsigncode") || !Have("openssl"))
        FAIL() << "needs osslsigncode and openssl (make deps)";
    const fs::path pe = StubFile;
    ASSERT_EQ(Pack({"pack", pe.string(), Src.string(), Out.string()}).Code, 0);
    const std::string d = S.Path().string() + "/";
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "key.pem -out " + d +
                 "cert.pem -days 2 -subj /CN=Corvane-Test-Signing"),
              0);
    ASSERT_EQ(Sh("osslsigncode sign -certs " + d + "cert.pem -key " + d + "key.pem -h sha256 -in " +
                 Out.string() + " -out " + d + "signed.exe"),
              0);
    ASSERT_EQ(Sh("osslsigncode verify -CAfile " + d + "cert.pem -in " + d + "signed.exe"), 0);
    ASSERT_GT(fs::file_size(d + "signed.exe"), fs::file_size(Out) + 500);

    // The packer reads it...
    const TRun list = Pack({"list", d + "signed.exe"});
    EXPECT_EQ(list.Code, 0) << list.Err;
    EXPECT_NE(list.Out.find("12 entries"), std::string::npos) << list.Out;
    ASSERT_EQ(Pack({"extract", d + "signed.exe", d + "x"}).Code, 0);
    EXPECT_EQ(kit::Tree(d + "x"), kit::Tree(Src));

    const TRun verify = Pack({"verify", d + "signed.exe", Src.string()});
    EXPECT_EQ(verify.Code, 0) << verify.Err;
    EXPECT_NE(verify.Out.find("signature: certificate table at offset"), std::string::npos)
        << verify.Out;

    // ...and so does the setup program's extractor.
    auto x = kit::ExtractorFor(d + "signed.exe", d + "tmp");
    EXPECT_TRUE(x->HasPayload());
    EXPECT_EQ(kit::Tree(fs::path(kit::Utf8(x->ExtractToTemp()))), kit::Tree(Src));

    // A signed stub is refused: the signature has to cover the archive.
    const TRun again = Pack({"pack", d + "signed.exe", Src.string(), d + "o.exe"});
    EXPECT_EQ(again.Code, 1);
    EXPECT_NE(again.Err.find("already carries a payload"), std::string::npos) << again.Err;
    ASSERT_EQ(Sh("osslsigncode sign -certs " + d + "cert.pem -key " + d + "key.pem -in " +
                 pe.string() + " -out " + d + "signedstub.exe"),
              0);
    const TRun signedStub = Pack({"pack", d + "signedstub.exe", Src.string(), d + "o.exe"});
    EXPECT_EQ(signedStub.Code, 1);
    EXPECT_NE(signedStub.Err.find("is signed"), std::string::npos) << signedStub.Err;

    // One byte changed in the archive after signing breaks the signature.
    std::string bytes = kit::ReadFile(d + "signed.exe");
    bytes[fs::file_size(pe) + 100] ^= 0x01;
    kit::WriteFile(d + "tampered.exe", bytes);
    EXPECT_NE(Sh("osslsigncode verify -CAfile " + d + "cert.pem -in " + d + "tampered.exe"), 0);
    // A byte of the seal changed in the signed file: pack verify names it.
    bytes = kit::ReadFile(d + "signed.exe");
    bytes[kit::SEALABLE_STUB_SEAL_AT + 33] ^= 0x01;
    kit::WriteFile(d + "seal.exe", bytes);
    const TRun broken = Pack({"verify", d + "seal.exe"});
    EXPECT_EQ(broken.Code, 1);
    EXPECT_NE(broken.Err.find("seal: the archive's SHA-256 is"), std::string::npos) << broken.Err;
}

// --- Archives of other tools ----------------------------------------------------------------

struct TTool {
    const char* Name;
    const char* Program;
    const char* Command; // run inside the source folder; %s is the archive
    bool MarksUtf8;      // stores non-ASCII names so that they can be read back
};

const TTool TOOLS[] = {
    // Info-ZIP zip 3.0 on Linux stores UTF-8 names without marking them; by the rules such
    // names read as code page 437, so it gets an ASCII tree.
    {"info-zip", "zip", "zip -qr %s .", false},
    {"python", "python3",
     "python3 -c \"import os,sys,zipfile\n"
     "z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n"
     "for r,ds,fs in sorted(os.walk('.')):\n"
     " for d in ds: z.write(os.path.join(r,d))\n"
     " for f in fs: z.write(os.path.join(r,f))\n"
     "z.close()\" %s",
     true},
    {"bsdtar", "bsdtar", "bsdtar --format zip -cf %s .", true},
    {"7-zip", "7zz", "7zz a -tzip -bd %s . >/dev/null", true},
};

TEST(ZipInterop, ArchivesOfOtherToolsExtractToTheSameTree) {
    for (const TTool& t : TOOLS) {
        SCOPED_TRACE(t.Name);
        if (!Have(t.Program)) {
            ADD_FAILURE() << t.Program << " is not installed (make deps)";
            continue;
        }
        kit::TScratch s;
        MakeSource(s / "src", t.MarksUtf8);
        const std::string zip = (s / "a.zip").string();
        std::string cmd = t.Command;
        cmd.replace(cmd.find("%s"), 2, zip);
        ASSERT_EQ(std::system(("cd " + (s / "src").string() + " && " + cmd).c_str()), 0) << cmd;
        try {
            auto in = OpenZipInputFile(kit::Wide(fs::path(zip)), false);
            TZipReader reader(*in);
            fs::create_directories(s / "x");
            auto target = CreateFolderTarget(kit::Wide(s / "x"));
            reader.ExtractAll(*target);
        } catch (const EZipError& e) {
            ADD_FAILURE() << kit::Utf8(e.Message());
            continue;
        }
        EXPECT_EQ(kit::Tree(s / "x"), kit::Tree(s / "src"));
    }
}

} // namespace
