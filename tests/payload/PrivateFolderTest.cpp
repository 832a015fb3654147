// The extraction folder on the real file layer: a new folder for every run with a DACL for
// SYSTEM and Administrators only, links at its name or on the way never followed, and the
// archive copy and the folder held against being replaced while they are in use.
#include <windows.h>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "ZipTestKit.h"
#include "uHardening.h"
#include "uWin32Seam.h"
#include "uPayload.h"
#include "uPayloadTrailer.h"
#include "uZipFiles.h"

namespace {

namespace fs = std::filesystem;

// Security descriptors the folder creation asked for. Wine keeps no DACL on files (it reads
// back one made from the mode bits), so the request is what can be checked here; on Windows
// GetNamedSecurityInfoW would read the same back.
std::vector<std::vector<BYTE>> gAsked;

BOOL WINAPI RecordingCreateDirectory(LPCWSTR name, LPSECURITY_ATTRIBUTES sa) {
    gAsked.push_back(DescriptorBytes(sa));
    return CreateDirectoryW(name, sa);
}

std::string SetupFile(const std::string& zip) {
    unsigned char t[16];
    MakePayloadTrailer(zip.size(), t);
    return "MZ" + std::string(2046, '\x90') + zip + std::string(reinterpret_cast<char*>(t), 16);
}

class PrivateFolder : public ::testing::Test {
protected:
    kit::TScratch Scratch;
    fs::path Elsewhere() const { return Scratch / "elsewhere"; }
    void SetUp() override {
        fs::create_directories(Elsewhere());
        kit::WriteFile(Elsewhere() / "keep.txt", "keep");
    }
    // What a link may have led to is as the test left it.
    void ExpectElsewhereUntouched() {
        EXPECT_EQ(kit::ListAll(Elsewhere()), std::vector<std::string>{"keep.txt"});
    }
};

TEST_F(PrivateFolder, EveryRunAsksForAProtectedDaclAndALinkAtTheNameIsPassedBy) {
    kit::TArchive a;
    a.Entries.push_back({.Name = "bin/mariadbd.exe", .Data = "MZ db"});
    kit::WriteFile(Scratch / "setup.exe", SetupFile(a.Build()));
    const fs::path temp = Scratch / "temp";
    fs::create_directories(temp);
    // Planted by another process of the user at the name this run will want.
    const fs::path planted = temp / "CorvaneMarketSetup_20260517000604";
    ASSERT_TRUE(MakeFolderLink(planted.wstring(), Elsewhere().wstring()));

    gAsked.clear();
    const auto real = vpfnCreateDirectoryW;
    vpfnCreateDirectoryW = RecordingCreateDirectory;
    std::wstring dir;
    {
        auto extractor = kit::ExtractorFor(Scratch / "setup.exe", temp);
        dir = extractor->ExtractToTemp();
    }
    vpfnCreateDirectoryW = real;

    EXPECT_EQ(dir, planted.wstring() + L"_2");
    EXPECT_EQ(kit::ReadFile(fs::path(dir) / "bin" / "mariadbd.exe"), "MZ db");
    ExpectElsewhereUntouched();
    // The planted name was tried once and left alone, the next one made with the DACL.
    ASSERT_EQ(gAsked.size(), 2u);
    EXPECT_TRUE(OnlySystemAndAdministrators(gAsked[1]));
}

TEST_F(PrivateFolder, SubFolderSwappedForALinkAfterItsCreationIsNotWrittenThrough) {
    const fs::path dir = Scratch / "run";
    fs::create_directories(dir);
    std::unique_ptr<TZipTarget> target = CreateFolderTarget(dir.wstring());
    target->MakeFolder({L"bin"}, 1);
    // Windows refuses to move a folder that is open without delete sharing; Wine may not.
    if (MoveFileW((dir / "bin").c_str(), (dir / "bin-moved").c_str())) {
        ASSERT_TRUE(MakeFolderLink((dir / "bin").wstring(), Elsewhere().wstring()));
        std::unique_ptr<TZipOutFile> out = target->CreateFile({L"bin", L"mariadbd.exe"});
        out->Write("MZ", 2);
        out->Close();
        EXPECT_EQ(kit::ReadFile(dir / "bin-moved" / "mariadbd.exe"), "MZ");
    } else {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    ExpectElsewhereUntouched();
}

TEST_F(PrivateFolder, LinkMetOnTheWayIsRefused) {
    const fs::path dir = Scratch / "run";
    fs::create_directories(dir);
    ASSERT_TRUE(MakeFolderLink((dir / "bin").wstring(), Elsewhere().wstring()));
    std::unique_ptr<TZipTarget> target = CreateFolderTarget(dir.wstring());
    for (int i = 0; i < 2; ++i) {
        try {
            if (i == 0)
                target->MakeFolder({L"bin", L"sub"}, 2);
            else
                target->CreateFile({L"bin", L"mariadbd.exe"})->Close();
            ADD_FAILURE() << "written through a link";
        } catch (const EZipError& e) {
            EXPECT_NE(e.Message().find(L"is a link"), std::wstring::npos) << kit::Utf8(e.Message());
        }
    }
    ExpectElsewhereUntouched();
    // The folder a target starts from is no link either.
    EXPECT_THROW(CreateFolderTarget((dir / "bin").wstring()), EZipError);
}

TEST_F(PrivateFolder, CopyAndRunFolderCannotBeReplacedWhileInUse) {
    TSystemPayloadPlatform platform;
    const std::wstring dir = platform.CreateRunFolder((Scratch / "run").wstring());
    const std::wstring copyPath = dir + L"\\payload.zip";
    std::unique_ptr<TArchiveCopy> copy = platform.CreateCopy(copyPath);
    copy->Write("PK archive", 10);
    // Another process: neither writes, nor renames, nor deletes it.
    HANDLE other = CreateFileW(copyPath.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFileW(copyPath.c_str(), (dir + L"\\moved.zip").c_str()));
    EXPECT_FALSE(DeleteFileW(copyPath.c_str()));
    TZipInput& in = copy->Finish();
    char back[10] = {};
    in.ReadAt(0, back, 10);
    EXPECT_EQ(std::string(back, 10), "PK archive");
    copy.reset();
    // The run's folder itself stays where it is while the platform holds it.
    EXPECT_FALSE(MoveFileW(dir.c_str(), (dir + L"-moved").c_str()));
}

} // namespace
