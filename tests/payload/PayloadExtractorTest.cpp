// TPayloadExtractor on setup files made by the test: the trailer rules, the messages, the
// temporary folder and its clean-up rules.
#include <gtest/gtest.h>

#include <optional>

#include "ZipTestKit.h"
#include "uPayload.h"
#include "uPayloadTrailer.h"

namespace {

using kit::TArchive;
using kit::TEntry;
namespace fs = std::filesystem;

// The real file layer, with the executable's path, the temporary folder and the clock chosen by
// the test, and a record of every file opened and closed.
class TTestPlatform : public kit::TPointedPlatform {
public:
    std::vector<std::string> Events;
    std::vector<size_t> CopyWrites;

    std::unique_ptr<TZipInput> OpenRead(const std::wstring& path, bool allowWriters) override {
        const std::string name = Name(path);
        Events.push_back("open " + name + (allowWriters ? " shared" : " readers-only"));
        return std::make_unique<TIn>(TSystemPayloadPlatform::OpenRead(path, allowWriters), this,
                                     name);
    }
    std::unique_ptr<TArchiveCopy> CreateCopy(const std::wstring& path) override {
        Events.push_back("create " + Name(path));
        return std::make_unique<TCopy>(TSystemPayloadPlatform::CreateCopy(path), this, Name(path));
    }
    std::wstring CreateRunFolder(const std::wstring& path) override {
        const std::wstring made = TSystemPayloadPlatform::CreateRunFolder(path);
        if (PlantInRunFolder)
            fs::create_directories(fs::path(made) / *PlantInRunFolder);
        return made;
    }
    // A folder of this name appears in the run's folder as soon as it is made.
    std::optional<std::string> PlantInRunFolder;
    // The seal the program carries; unsealed unless a test packs one.
    TPayloadSeal ProgramSeal;
    TPayloadSeal Seal() override { return ProgramSeal; }

private:
    std::string Name(const std::wstring& path) const {
        return path == Exe ? "exe" : kit::Utf8(path.substr(path.find_last_of(PathDelim()) + 1));
    }
    struct TIn : TZipInput {
        TIn(std::unique_ptr<TZipInput> in, TTestPlatform* p, std::string n)
            : In(std::move(in)), P(p), N(std::move(n)) {}
        ~TIn() override { P->Events.push_back("close " + N); }
        uint64_t Size() const override { return In->Size(); }
        void ReadAt(uint64_t off, void* buf, size_t n) override { In->ReadAt(off, buf, n); }
        std::unique_ptr<TZipInput> In;
        TTestPlatform* P;
        std::string N;
    };
    struct TCopy : TArchiveCopy {
        TCopy(std::unique_ptr<TArchiveCopy> out, TTestPlatform* p, std::string n)
            : Out(std::move(out)), P(p), N(std::move(n)) {}
        ~TCopy() override { P->Events.push_back("close " + N); }
        void Write(const void* b, size_t n) override {
            P->CopyWrites.push_back(n);
            Out->Write(b, n);
        }
        TZipInput& Finish() override {
            P->Events.push_back("read " + N);
            return Out->Finish();
        }
        std::unique_ptr<TArchiveCopy> Out;
        TTestPlatform* P;
        std::string N;
    };
};

std::string Trailer(int64_t n) {
    unsigned char t[16];
    MakePayloadTrailer(uint64_t(n), t);
    return std::string(reinterpret_cast<char*>(t), 16);
}

const std::string STUB = "MZ" + std::string(4094, '\x90');

class PayloadExtractor : public ::testing::Test {
protected:
    kit::TScratch Scratch;
    TTestPlatform* Platform = nullptr;
    std::unique_ptr<TPayloadExtractor> Extractor;
    fs::path ExeFile;
    fs::path TempDir;

    void SetUp() override { Reopen(); }

    // A new extractor, as a new start of the program: the old one holds the file it opened.
    void Reopen(const TPayloadSeal& seal = TPayloadSeal()) {
        Extractor.reset();
        auto p = std::make_unique<TTestPlatform>();
        p->ProgramSeal = seal;
        Platform = p.get();
        ExeFile = Scratch / "CorvaneMarketSetup.exe";
        TempDir = Scratch / "temp";
        fs::create_directories(TempDir);
        p->Exe = kit::Wide(ExeFile);
        p->Temp = kit::Wide(TempDir) + p->PathDelim();
        Extractor = std::make_unique<TPayloadExtractor>(std::move(p));
    }

    void WriteSetup(const std::string& zip) {
        kit::WriteFile(ExeFile, STUB + zip + Trailer(int64_t(zip.size())));
    }

    fs::path Folder() const { return TempDir / "CorvaneMarketSetup_20260517000604"; }

    std::string ExtractError() {
        try {
            Extractor->ExtractToTemp();
        } catch (const ESetupError& e) {
            return kit::Utf8(e.Message());
        }
        return "(no error)";
    }
};

TArchive Nested() {
    TArchive a;
    a.Entries.push_back({.Name = "CorvaneZideroZUR.exe", .Data = std::string(3000, 'Z')});
    a.Entries.push_back({.Name = "CorvaneMarketServis/", .Data = "", .Method = 0});
    a.Entries.push_back({.Name = "CorvaneMarketServis/CorvaneMarketServer.exe", .Data = "srv"});
    a.Entries.push_back({.Name = "masaustu/ikon/a.ico", .Data = "ico", .Method = 0});
    return a;
}

TEST(PayloadFolderName, FourteenDigitStamp) {
    EXPECT_EQ(PayloadFolderName({2026, 5, 17, 0, 6, 4}), L"CorvaneMarketSetup_20260517000604");
    EXPECT_EQ(PayloadFolderName({1999, 12, 31, 23, 59, 59}), L"CorvaneMarketSetup_19991231235959");
    EXPECT_EQ(PayloadFolderName({2030, 1, 2, 3, 4, 5}), L"CorvaneMarketSetup_20300102030405");
}

TEST_F(PayloadExtractor, NestedFoldersExtractedAndCopyRemoved) {
    WriteSetup(Nested().Build());
    EXPECT_TRUE(Extractor->HasPayload());
    const std::wstring dir = Extractor->ExtractToTemp();
    EXPECT_EQ(dir, kit::Wide(Folder()));
    const std::map<std::string, std::string> expect = {
        {"CorvaneZideroZUR.exe", std::string(3000, 'Z')},
        {"CorvaneMarketServis/", ""},
        {"CorvaneMarketServis/CorvaneMarketServer.exe", "srv"},
        {"masaustu/", ""},
        {"masaustu/ikon/", ""},
        {"masaustu/ikon/a.ico", "ico"}};
    EXPECT_EQ(kit::Tree(Folder()), expect); // payload.zip is gone
}

TEST_F(PayloadExtractor, FilesClosedInOrderAndOpenedWithTheRightSharing) {
    WriteSetup(Nested().Build());
    Extractor->ExtractToTemp();
    // The copy is read through the handle it was written with: never closed and opened again.
    // The setup file is opened once, for readers only, and held until the extractor goes.
    const std::vector<std::string> expect = {"open exe readers-only", "create payload.zip",
                                             "read payload.zip", "close payload.zip"};
    EXPECT_EQ(Platform->Events, expect);
    Extractor->HasPayload(); // through the same handle: not opened again
    EXPECT_EQ(Platform->Events, expect);
}

TEST_F(PayloadExtractor, ArchiveCopiedInMegabyteBlocks) {
    TArchive a;
    std::string big(2'500'000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char((i * 2654435761u) >> 13);
    a.Entries.push_back({.Name = "big.bin", .Data = big, .Method = 0});
    const std::string zip = a.Build();
    WriteSetup(zip);
    Extractor->ExtractToTemp();
    // The copy's writes come first; the extraction's own writes follow.
    ASSERT_GE(Platform->CopyWrites.size(), 3u);
    EXPECT_EQ(Platform->CopyWrites[0], 1048576u);
    EXPECT_EQ(Platform->CopyWrites[1], 1048576u);
    EXPECT_EQ(Platform->CopyWrites[2], zip.size() - 2 * 1048576u);
    EXPECT_EQ(kit::ReadFile(Folder() / "big.bin"), big);
}

TEST_F(PayloadExtractor, NoTrailerMeansNoPayload) {
    kit::WriteFile(ExeFile, STUB);
    EXPECT_FALSE(Extractor->HasPayload());
    EXPECT_EQ(Extractor->ExtractToTemp(), L"");
    EXPECT_TRUE(fs::is_empty(TempDir));
}

TEST_F(PayloadExtractor, LowerCaseMagicIsNoTrailer) {
    const std::string zip = Nested().Build();
    std::string t = Trailer(int64_t(zip.size()));
    for (size_t i = 8; i < 16; ++i)
        t[i] = char(std::tolower(t[i]));
    kit::WriteFile(ExeFile, STUB + zip + t);
    EXPECT_FALSE(Extractor->HasPayload());
    EXPECT_EQ(Extractor->ExtractToTemp(), L"");
    EXPECT_TRUE(fs::is_empty(TempDir));
}

TEST_F(PayloadExtractor, MagicWithZeroByteIsNoTrailer) {
    std::string t = Trailer(10);
    t[12] = '\0';
    kit::WriteFile(ExeFile, STUB + t);
    EXPECT_FALSE(Extractor->HasPayload());
}

TEST_F(PayloadExtractor, InvalidLengthsRefused) {
    const std::string zip = Nested().Build();
    const int64_t s = int64_t(STUB.size() + zip.size() + 16);
    struct TCase {
        int64_t N;
        std::string Message;
    };
    const TCase cases[] = {
        {0, "Payload boyutu gecersiz: 0"},
        {-5, "Payload boyutu gecersiz: -5"},
        {INT64_MIN, "Payload boyutu gecersiz: -9223372036854775808"},
        {s - 16 + 1, "Payload boyutu gecersiz: " + std::to_string(s - 15)},
        {INT64_MAX, "Payload boyutu gecersiz: 9223372036854775807"},
    };
    for (const TCase& c : cases) {
        Extractor.reset();
        kit::WriteFile(ExeFile, STUB + zip + Trailer(c.N));
        Reopen();
        EXPECT_TRUE(Extractor->HasPayload()) << "HasPayload does not look at N";
        EXPECT_EQ(ExtractError(), c.Message);
        EXPECT_TRUE(fs::is_empty(TempDir)) << "nothing created for N=" << c.N;
    }
}

TEST_F(PayloadExtractor, ArchiveStartingAtOffsetZeroAccepted) {
    const std::string zip = Nested().Build();
    kit::WriteFile(ExeFile, zip + Trailer(int64_t(zip.size()))); // N = S - 16
    EXPECT_EQ(Extractor->ExtractToTemp(), kit::Wide(Folder()));
    EXPECT_EQ(kit::ReadFile(Folder() / "CorvaneMarketServis" / "CorvaneMarketServer.exe"), "srv");
}

TEST_F(PayloadExtractor, OnlyFolderEntriesPass) {
    TArchive a;
    a.Entries.push_back({.Name = "Data/", .Data = "", .Method = 0});
    a.Entries.push_back({.Name = "Logs/old/", .Data = "", .Method = 0});
    WriteSetup(a.Build());
    EXPECT_EQ(Extractor->ExtractToTemp(), kit::Wide(Folder()));
    const std::vector<std::string> expect = {"Data/", "Logs/", "Logs/old/"};
    EXPECT_EQ(kit::ListAll(Folder()), expect);
}

TEST_F(PayloadExtractor, EmptyArchiveFailsAndLeavesEmptyFolder) {
    WriteSetup(TArchive().Build());
    EXPECT_EQ(ExtractError(), "Arsiv acildi ancak hicbir dosya cikarilmadi!");
    EXPECT_TRUE(fs::is_directory(Folder()));
    EXPECT_TRUE(fs::is_empty(Folder()));
}

TEST_F(PayloadExtractor, TruncatedArchiveFailsAndKeepsTheCopy) {
    const std::string zip = Nested().Build();
    const std::string cut = zip.substr(0, zip.size() - 30);
    kit::WriteFile(ExeFile, STUB + cut + Trailer(int64_t(cut.size())));
    const std::string msg = ExtractError();
    EXPECT_EQ(msg.rfind("ZIP arsiv acma basarisiz: ", 0), 0u) << msg;
    EXPECT_EQ(kit::ReadFile(Folder() / "payload.zip"), cut);
}

TEST_F(PayloadExtractor, CorruptArchiveFailsAndKeepsTheCopy) {
    std::string zip = Nested().Build();
    zip[30 + 20 + 3] ^= 0x40; // inside the first entry's deflated data
    WriteSetup(zip);
    const std::string msg = ExtractError();
    EXPECT_EQ(msg.rfind("ZIP arsiv acma basarisiz: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("CorvaneZideroZUR.exe"), std::string::npos) << msg;
    EXPECT_TRUE(fs::exists(Folder() / "payload.zip"));
    // The damaged file is not left behind looking whole.
    EXPECT_FALSE(fs::exists(Folder() / "CorvaneZideroZUR.exe"));
}

TEST_F(PayloadExtractor, HostileNameNeverLeavesTheFolder) {
    TArchive a;
    a.Entries.push_back({.Name = "ok.txt", .Data = "ok"});
    a.Entries.push_back({.Name = "../../escaped.txt", .Data = "evil"});
    WriteSetup(a.Build());
    const std::string msg = ExtractError();
    EXPECT_EQ(msg.rfind("ZIP arsiv acma basarisiz: entry \"../../escaped.txt\"", 0), 0u) << msg;
    for (const std::string& p : kit::ListAll(Scratch.Path()))
        EXPECT_EQ(p.find("escaped"), std::string::npos) << p;
}

TEST_F(PayloadExtractor, EntryNamedLikeTheCopyRefused) {
    TArchive a;
    a.Entries.push_back({.Name = "PAYLOAD.ZIP", .Data = "inner archive"});
    WriteSetup(a.Build());
    const std::string msg = ExtractError();
    EXPECT_NE(msg.find("would replace the archive copy"), std::string::npos) << msg;
}

TEST_F(PayloadExtractor, EveryExtractionGetsAFolderOfItsOwn) {
    TArchive first;
    first.Entries.push_back({.Name = "a.txt", .Data = "first version, longer"});
    first.Entries.push_back({.Name = "only-first.txt", .Data = "1"});
    WriteSetup(first.Build());
    const std::wstring d1 = Extractor->ExtractToTemp();
    TArchive second;
    second.Entries.push_back({.Name = "a.txt", .Data = "second"});
    Extractor.reset();
    WriteSetup(second.Build());
    Reopen();
    // Something else already at the third name (a file, or a link to elsewhere) is left alone.
    kit::WriteFile(TempDir / "CorvaneMarketSetup_20260517000604_2", "not ours");
    const std::wstring d2 = Extractor->ExtractToTemp();
    EXPECT_EQ(d1, kit::Wide(Folder()));
    EXPECT_EQ(d2, kit::Wide(Folder()) + L"_3");
    EXPECT_EQ(kit::ReadFile(Folder() / "a.txt"), "first version, longer");
    EXPECT_EQ(kit::ReadFile(fs::path(d2) / "a.txt"), "second");
    EXPECT_FALSE(fs::exists(fs::path(d2) / "only-first.txt"));
    EXPECT_EQ(kit::ReadFile(TempDir / "CorvaneMarketSetup_20260517000604_2"), "not ours");
}

TEST_F(PayloadExtractor, MissingExecutable) {
    EXPECT_FALSE(Extractor->HasPayload());
    EXPECT_EQ(ExtractError(), "Kurulum EXE dosyasi bulunamadi: " + kit::Utf8(kit::Wide(ExeFile)));
    fs::create_directories(ExeFile); // a folder is not the executable either
    EXPECT_FALSE(Extractor->HasPayload());
    EXPECT_EQ(ExtractError(), "Kurulum EXE dosyasi bulunamadi: " + kit::Utf8(kit::Wide(ExeFile)));
}

TEST_F(PayloadExtractor, FileShorterThanTrailer) {
    for (size_t n : {0, 1, 8, 15}) {
        Extractor.reset();
        kit::WriteFile(ExeFile, std::string("CVPAYZIPCVPAYZIP").substr(0, n));
        Reopen();
        EXPECT_FALSE(Extractor->HasPayload());
        EXPECT_EQ(ExtractError(), "EXE dosyasi cok kucuk, payload icermiyor");
    }
    Extractor.reset();
    kit::WriteFile(ExeFile, Trailer(0)); // exactly 16 bytes: a trailer, but N is invalid
    Reopen();
    EXPECT_TRUE(Extractor->HasPayload());
    EXPECT_EQ(ExtractError(), "Payload boyutu gecersiz: 0");
}

TEST_F(PayloadExtractor, CopyThatCannotBeCreatedReportsTheFileLayer) {
    WriteSetup(Nested().Build());
    Platform->PlantInRunFolder = "payload.zip"; // a folder where the copy should go
    const std::string msg = ExtractError();
    EXPECT_NE(msg.find("payload.zip"), std::string::npos) << msg;
    EXPECT_EQ(msg.rfind("ZIP arsiv", 0), std::string::npos) << msg;
    EXPECT_EQ(Platform->Events.back(), "create payload.zip"); // the setup file stays held
}

TPayloadSeal SealFor(const std::string& zip) {
    TPayloadSeal seal;
    seal.Sealed = true;
    seal.Length = zip.size();
    TSha256 hash;
    hash.Update(zip.data(), zip.size());
    seal.Sha256 = hash.Final();
    return seal;
}

TEST_F(PayloadExtractor, SealedProgramInstallsOnlyThePayloadItWasPackedWith) {
    const std::string zip = Nested().Build();
    WriteSetup(zip);
    Reopen(SealFor(zip));
    EXPECT_TRUE(Extractor->HasPayload());
    EXPECT_EQ(Extractor->ExtractToTemp(), kit::Wide(Folder()));
    EXPECT_EQ(kit::ReadFile(Folder() / "CorvaneMarketServis" / "CorvaneMarketServer.exe"), "srv");

    // One byte of the payload changed, the length changed, the seal's digest changed: refused,
    // and nothing that was extracted meanwhile is left.
    std::string changed = zip;
    changed[zip.size() / 2] ^= 0x01;
    TPayloadSeal otherDigest = SealFor(zip);
    otherDigest.Sha256[7] ^= 0x80;
    const struct {
        std::string Zip;
        TPayloadSeal Seal;
    } refused[] = {{changed, SealFor(zip)}, {zip + "x", SealFor(zip)}, {zip, otherDigest}};
    for (const auto& c : refused) {
        Extractor.reset();
        fs::remove_all(TempDir);
        fs::create_directories(TempDir);
        WriteSetup(c.Zip);
        Reopen(c.Seal);
        EXPECT_TRUE(Extractor->HasPayload());
        EXPECT_EQ(ExtractError(), kit::Utf8(SEAL_MISMATCH_MESSAGE));
        for (const std::string& p : kit::ListAll(TempDir))
            EXPECT_TRUE(p.find("CorvaneZideroZUR") == std::string::npos) << p;
    }
}

TEST_F(PayloadExtractor, SealedProgramNeverFallsBackToDevelopmentMode) {
    const std::string zip = Nested().Build();
    for (const std::string& file : {STUB, std::string()}) {
        Extractor.reset();
        kit::WriteFile(ExeFile, file);
        Reopen(SealFor(zip));
        try {
            Extractor->HasPayload();
            ADD_FAILURE() << "no payload, and yet no error";
        } catch (const ESetupError& e) {
            EXPECT_EQ(e.Message(), SEAL_NO_PAYLOAD_MESSAGE);
        }
    }
    Extractor.reset();
    kit::WriteFile(ExeFile, STUB);
    Reopen(SealFor(zip));
    EXPECT_EQ(ExtractError(), kit::Utf8(SEAL_NO_PAYLOAD_MESSAGE));
    EXPECT_TRUE(fs::is_empty(TempDir));
}

// The file is held from the start: whatever is put at its name later is never read.
TEST_F(PayloadExtractor, FileReplacedAfterTheStartIsNotWhatIsInstalled) {
    const std::string zip = Nested().Build();
    WriteSetup(zip);
    Reopen(SealFor(zip));
    Extractor->HoldSetupFile();
    TArchive other;
    other.Entries.push_back({.Name = "CorvaneZideroZUR.exe", .Data = "planted"});
    const std::string planted = STUB + other.Build() + Trailer(int64_t(other.Build().size()));
    std::error_code ec;
    fs::rename(ExeFile, Scratch / "renamed.exe", ec);
    if (!ec) // POSIX lets the held file be renamed; Windows refuses while it is held
        kit::WriteFile(ExeFile, planted);
    else
        EXPECT_THROW(kit::WriteFile(ExeFile, planted), std::exception);
    EXPECT_EQ(Extractor->ExtractToTemp(), kit::Wide(Folder()));
    EXPECT_EQ(kit::ReadFile(Folder() / "CorvaneZideroZUR.exe"), std::string(3000, 'Z'));
}

TEST(PayloadExtractorSystem, RealPlatformSeesTheTestProgramItself) {
    TSystemPayloadPlatform sys;
    const std::wstring exe = sys.ExePath();
    EXPECT_TRUE(sys.FileExists(exe)) << kit::Utf8(exe);
    const std::wstring temp = sys.TempPath();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), sys.PathDelim());
    TPayloadExtractor real;
    EXPECT_FALSE(real.HasPayload());
    EXPECT_EQ(real.ExtractToTemp(), L"");
}

} // namespace
