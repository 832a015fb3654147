// The pre-flight check of the updates: the folder checks, the write test (real, and scripted
// where a healthy folder cannot fail), the backup size estimate and the disk-space figures.
#include "BackupTestSupport.h"

#include <regex>

#include "backup/uBackupUtil.h"

namespace {

using TLines = std::vector<std::wstring>;
const int64_t MB = 1048576;

// What the write test did, and failures on request.
struct TWriteTestSpy {
    std::vector<std::wstring> Created;
    std::string Written;
    DWORD CreateError = 0; // non-zero: creating fails with it
    DWORD WriteError = 0;  // non-zero: writing fails with it
};
TWriteTestSpy* gSpy = nullptr;

HANDLE WINAPI SpyCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE tmpl) {
    gSpy->Created.push_back(name);
    if (gSpy->CreateError != 0) {
        SetLastError(gSpy->CreateError);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, access, share, sa, disposition, flags, tmpl);
}

BOOL WINAPI SpyWriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED ov) {
    gSpy->Written.append(static_cast<const char*>(data), size);
    if (gSpy->WriteError != 0) {
        if (written)
            *written = 0;
        SetLastError(gSpy->WriteError);
        return FALSE;
    }
    return WriteFile(h, data, size, written, ov);
}

class Preflight : public BackupFixture {
protected:
    void SetUp() override {
        BackupFixture::SetUp();
        gSpy = &spy;
        vpfnWriteTestCreateFileW = SpyCreateFileW;
        vpfnWriteTestWriteFile = SpyWriteFile;
        host->FreeSpace = int64_t(1) << 40;
    }
    void TearDown() override {
        vpfnWriteTestCreateFileW = ::CreateFileW;
        vpfnWriteTestWriteFile = ::WriteFile;
        gSpy = nullptr;
        BackupFixture::TearDown();
    }
    int64_t Estimate() { return TSetupEngineTestAccess::EstimateBackupSize(*engine); }
    // Files of the installation folder whose names begin with the write test's prefix.
    std::vector<std::wstring> WriteTestFiles() {
        std::vector<std::wstring> found;
        for (const auto& name : Names(Snapshot(kInstall)))
            if (name.rfind(L".write_test_", 0) == 0)
                found.push_back(name);
        return found;
    }
    TWriteTestSpy spy;
};

// ---------------------------------------------------------------------------------------------
// Folders and the write test

TEST_F(Preflight, PassingCheckLogsTheFiguresAndLeavesNoTestFile) {
    MakeInstallation();
    FullUpdate();
    Step("PreflightCheck");
    const int64_t needed = 2 * (1536 * 1024 + 3 + 10 + 7 + 52428800);
    EXPECT_EQ(journal.Entries(),
              (TLines{L"log|[0/14] On kontrol yapiliyor...", L"freespace|D:\\CorvaneUpdateYedek",
                      L"log|  Gereken alan: " + std::to_wstring(needed / MB) + L" MB",
                      L"log|  Bos alan:     1048576 MB", L"log|  OK - On kontrol basarili"}));

    // The test file: in the installation folder, named with fourteen digits of local time,
    // holding "test" and CR LF, and gone afterwards.
    ASSERT_EQ(spy.Created.size(), 1u);
    const std::string created(spy.Created[0].begin(), spy.Created[0].end());
    EXPECT_TRUE(
        std::regex_match(created, std::regex(R"(D:\\CorvaneZideroZur\\\.write_test_20\d{12})")))
        << created;
    EXPECT_EQ(spy.Written, "test\r\n");
    EXPECT_TRUE(WriteTestFiles().empty());
}

TEST_F(Preflight, RealWriteTestOnTheDriveLeavesNothingBehind) {
    vpfnWriteTestCreateFileW = ::CreateFileW;
    vpfnWriteTestWriteFile = ::WriteFile;
    host->FreeSpace = -1; // the drive's real free space
    MakeInstallation();
    FileUpdate();
    Put(kSource + L"\\CorvaneZideroZUR.exe", "new");
    Step("PreflightCheck");
    EXPECT_TRUE(Logged(L"  OK - On kontrol basarili")) << LogText();
    EXPECT_TRUE(WriteTestFiles().empty());
    // D: has room on any machine that builds this program.
    const auto logs = Logs();
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_NE(logs[2], L"  Bos alan:     0 MB");
}

TEST_F(Preflight, MissingInstallationFolderFailsBeforeAnyFileIsWritten) {
    RemoveTree(kInstall);
    FullUpdate();
    EXPECT_EQ(StepError("PreflightCheck"), L"Kurulum dizini bulunamadi: D:\\CorvaneZideroZur");
    EXPECT_TRUE(spy.Created.empty());
    engine->SetInstallDir(L"");
    EXPECT_EQ(StepError("PreflightCheck"), L"Kurulum dizini bulunamadi: ");
    EXPECT_TRUE(spy.Created.empty());
    EXPECT_EQ(Logs(),
              (TLines{L"[0/14] On kontrol yapiliyor...", L"[0/14] On kontrol yapiliyor..."}));
}

TEST_F(Preflight, FolderTheUserMayNotWriteToFailsWithThreeLines) {
    spy.CreateError = ERROR_ACCESS_DENIED;
    FullUpdate();
    EXPECT_EQ(StepError("PreflightCheck"),
              L"Kurulum dizinine yazma izni yok: D:\\CorvaneZideroZur\r\n"
              L"Programi yonetici olarak calistirin.\r\n"
              L"Hata: " +
                  SysErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_EQ(journal.Count(L"freespace|"), 0) << "stops at the write test";
}

TEST_F(Preflight, FailedWriteIsReportedAndItsFileRemoved) {
    spy.WriteError = ERROR_DISK_FULL;
    FullUpdate();
    EXPECT_EQ(StepError("PreflightCheck"),
              L"Kurulum dizinine yazma izni yok: D:\\CorvaneZideroZur\r\n"
              L"Programi yonetici olarak calistirin.\r\n"
              L"Hata: " +
                  SysErrorMessage(ERROR_DISK_FULL));
    ASSERT_EQ(spy.Created.size(), 1u);
    EXPECT_TRUE(WriteTestFiles().empty()) << "the half-written test file is not left behind";
}

TEST_F(Preflight, MissingSourceFails) {
    RemoveTree(kSource);
    FullUpdate();
    EXPECT_EQ(StepError("PreflightCheck"), L"Kaynak dizin bulunamadi: D:\\kaynak");
    engine->SetSourceDir(L"");
    EXPECT_EQ(StepError("PreflightCheck"), L"Kaynak dizin bulunamadi: ");
    EXPECT_TRUE(WriteTestFiles().empty());
}

TEST_F(Preflight, OnlyTheFileUpdateNeedsTheTillProgramInTheSource) {
    MakeInstallation();
    FileUpdate();
    EXPECT_EQ(StepError("PreflightCheck"), L"Kaynak CorvaneZideroZUR.exe bulunamadi");
    MakeDirs(kSource + L"\\CorvaneZideroZUR.exe");
    EXPECT_EQ(StepError("PreflightCheck"), L"Kaynak CorvaneZideroZUR.exe bulunamadi")
        << "a folder of that name is no program";
    RemoveDirectoryW((kSource + L"\\CorvaneZideroZUR.exe").c_str());

    journal.Clear();
    FullUpdate();
    Step("PreflightCheck");
    EXPECT_TRUE(Logged(L"  OK - On kontrol basarili"));

    journal.Clear();
    FileUpdate();
    Put(kSource + L"\\CorvaneZideroZUR.exe", "new");
    Step("PreflightCheck");
    EXPECT_TRUE(Logged(L"  OK - On kontrol basarili"));
}

// ---------------------------------------------------------------------------------------------
// Size estimate and free space

TEST_F(Preflight, EstimateFollowsTheModeAndTheFloor) {
    const std::wstring exe = kInstall + L"\\CorvaneZideroZUR.exe";
    struct TCase {
        const char* what;
        bool full;
        int64_t exeSize; // negative: no till program
        int64_t desktop; // negative: no masaustu folder
        int64_t expected;
    };
    const TCase cases[] = {
        {"file update, 30 MB program: the floor", false, 30 * MB, -1, 104857600},
        {"file update, 60 MB program", false, 60 * MB, -1, 125829120},
        {"file update, no program", false, -1, -1, 104857600},
        {"file update ignores masaustu", false, 60 * MB, 5 * MB, 125829120},
        {"full update, 40 MB, no masaustu", true, 40 * MB, -1, 188743680},
        {"full update, 40 MB, empty masaustu", true, 40 * MB, 0, 188743680},
        {"full update, 40 MB, 3 MB masaustu", true, 40 * MB, 3 * MB, 2 * 93 * MB},
        {"full update, nothing installed: the margin alone", true, -1, -1, 104857600},
        {"full update, 3 GB program", true, 3072 * MB, -1, 2 * (3072 + 50) * MB},
    };
    for (const TCase& c : cases) {
        RemoveTree(kInstall);
        MakeDirs(kInstall);
        if (c.exeSize >= 0)
            PutSized(exe, c.exeSize);
        if (c.desktop >= 0) {
            MakeDirs(kInstall + L"\\masaustu\\alt");
            if (c.desktop > 0) {
                PutSized(kInstall + L"\\masaustu\\a.bin", c.desktop - MB);
                PutSized(kInstall + L"\\masaustu\\alt\\b.bin", MB);
            }
        }
        TSetupEngineTestAccess::SetUpdateMode(*engine, true, c.full);
        EXPECT_EQ(Estimate(), c.expected) << c.what;
    }
    RemoveTree(kInstall);
    MakeDirs(exe); // a folder with the program's name is no program
    TSetupEngineTestAccess::SetUpdateMode(*engine, true, false);
    EXPECT_EQ(Estimate(), 104857600);
}

TEST_F(Preflight, FreeSpaceEqualToTheNeedPassesAndOneByteLessFails) {
    PutSized(kInstall + L"\\CorvaneZideroZUR.exe", 60 * MB);
    Put(kSource + L"\\CorvaneZideroZUR.exe", "new");
    FileUpdate();
    host->FreeSpace = 125829120;
    Step("PreflightCheck");
    EXPECT_EQ(Logs(), (TLines{L"[0/14] On kontrol yapiliyor...", L"  Gereken alan: 120 MB",
                              L"  Bos alan:     120 MB", L"  OK - On kontrol basarili"}));

    journal.Clear();
    host->FreeSpace = 125829119;
    EXPECT_EQ(StepError("PreflightCheck"),
              L"Yetersiz disk alani!\r\n\r\nGereken: 120 MB\r\nMevcut bos: 119 MB\r\n\r\n"
              L"Yedek olusturmak icin disk alani yetmiyor. Lutfen disk alani bosaltin ve "
              L"tekrar deneyin.");
    EXPECT_EQ(Logs(), (TLines{L"[0/14] On kontrol yapiliyor...", L"  Gereken alan: 120 MB",
                              L"  Bos alan:     119 MB"}));
}

TEST_F(Preflight, ShortfallBelowOneMegabyteStillFails) {
    PutSized(kInstall + L"\\CorvaneZideroZUR.exe", 60 * MB + 1000);
    Put(kSource + L"\\CorvaneZideroZUR.exe", "new");
    FileUpdate();
    host->FreeSpace = 2 * (60 * MB + 1000) - 1;
    const std::wstring msg = StepError("PreflightCheck");
    EXPECT_EQ(msg.substr(0, msg.find(L"\r\n\r\nYedek")),
              L"Yetersiz disk alani!\r\n\r\nGereken: 120 MB\r\nMevcut bos: 120 MB");
}

TEST_F(Preflight, UnknownFreeSpaceCountsAsNone) {
    FullUpdate();
    host->FreeSpace = 0;
    const std::wstring msg = StepError("PreflightCheck");
    EXPECT_NE(msg.find(L"\r\nMevcut bos: 0 MB\r\n"), std::wstring::npos) << msg;
    EXPECT_TRUE(Logged(L"  Bos alan:     0 MB"));
}

TEST_F(Preflight, MissingTillProgramInTheInstallationDoesNotFailTheCheck) {
    FileUpdate();
    Put(kSource + L"\\CorvaneZideroZUR.exe", "new");
    Step("PreflightCheck");
    EXPECT_TRUE(Logged(L"  Gereken alan: 100 MB"));
    EXPECT_TRUE(Logged(L"  OK - On kontrol basarili"));
}

} // namespace
