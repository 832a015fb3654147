// The uninstaller's steps: which folders a run may touch, the order and bounds of its commands
// when a service will not stop or go, and cancellation. Removal against real locks is the
// setup-file suite's part.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <windows.h>

#include <sddl.h>
#include <shellapi.h>

#include "HostTestSupport.h"
#include "Journal.h"
#include "ScriptedHost.h"
#include "uSetupEngine.h"
#include "uUninstaller.h"
#include "uWin32Seam.h"

namespace fs = std::filesystem;

namespace {

// Leaves the machine's registry alone: the restart list and the uninstall entry are recorded.
class TRecordingSystem : public TRemovalSystem {
public:
    DWORD KeyResult = ERROR_SUCCESS;
    int KeyDeletes = 0;
    int Protected = 0;
    std::vector<std::wstring> Scheduled;
    DWORD ScheduleDeleteAtRestart(const std::wstring& path) override {
        Scheduled.push_back(path);
        return ERROR_SUCCESS;
    }
    bool ProtectFolder(HANDLE) override { return ++Protected > 0; }
    DWORD DeleteUninstallKey() override {
        ++KeyDeletes;
        return KeyResult;
    }
};

class Uninstaller : public ::testing::Test {
protected:
    TJournal Journal;
    TScriptedHost Host{Journal};
    TRecordingSystem System;
    std::vector<std::wstring> Log;
    fs::path Root;
    TUninstallPlan Plan;

    void SetUp() override {
        // A folder per test: Wine cannot remove a link a test planted.
        Root = fs::temp_directory_path() /
               ("uninst-" + std::to_string(GetCurrentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        DeleteDirRecursive(Root.wstring());
        Plan.InstallDir = (Root / L"CorvaneZideroZur").wstring();
        Plan.BackupDir = (Root / L"CorvaneUpdateYedek").wstring();
        Plan.SharedDataDir = (Root / L"CorvaneOrtakData").wstring();
        Plan.DesktopLink = (Root / L"Desktop" / L"Corvane Market Pos.lnk").wstring();
        Plan.OwnFile = Plan.InstallDir + L"\\Uninstall Corvane Market Pos.exe";
        MakeTree();
    }
    // What an installation leaves, a read-only file among it.
    void MakeTree() {
        for (const wchar_t* f :
             {L"CorvaneZideroZur\\CorvaneZideroZUR.exe",
              L"CorvaneZideroZur\\Uninstall Corvane Market Pos.exe",
              L"CorvaneZideroZur\\masaustu\\assets\\app.js",
              L"CorvaneZideroZur\\CorvaneReports.dll", L"CorvaneUpdateYedek\\backup.info",
              L"Desktop\\Corvane Market Pos.lnk", L"CorvaneOrtakData\\Data\\mysql\\user.frm"})
            Write(f, "x");
        SetFileAttributesW((Root / L"CorvaneZideroZur" / L"CorvaneZideroZUR.exe").c_str(),
                           FILE_ATTRIBUTE_READONLY);
    }
    void TearDown() override { DeleteDirRecursive(Root.wstring()); }

    void Write(const std::wstring& rel, const std::string& text) {
        fs::create_directories((Root / rel).parent_path());
        std::ofstream(Root / rel, std::ios::binary) << text;
    }
    TUninstaller::TResult Run(TUninstaller& u) { return u.Run(Plan); }
    TUninstaller Make() {
        return TUninstaller(Host, System, [this](const std::wstring& l) { Log.push_back(l); });
    }
    bool Logged(const std::wstring& line) const {
        return std::find(Log.begin(), Log.end(), line) != Log.end();
    }
};

TEST(UninstallPlan, OnlyFoldersNamedByTheRulesAreEverTouched) {
    struct TCase {
        const wchar_t *Own, *Recorded, *DbService, *Install, *Shared, *Backup;
    } cases[] = {
        {L"D:\\CorvaneZideroZur", L"E:\\CorvaneZideroZur", L"", L"D:\\CorvaneZideroZur",
         L"D:\\CorvaneOrtakData", L"D:\\CorvaneUpdateYedek"},
        {L"C:\\Users\\x\\Downloads", L"E:\\corvaneziderozur", L"F:\\CorvaneOrtakData",
         L"E:\\corvaneziderozur", L"F:\\CorvaneOrtakData", L"E:\\CorvaneUpdateYedek"},
        // A folder of another name is never taken for the installation, nor the data folder.
        {L"C:\\Program Files\\Tools", L"D:\\Market", L"D:\\Data", L"", L"", L""},
        {L"", L"", L"", L"", L"", L""},
    };
    for (const auto& c : cases) {
        const TUninstallPlan p = ResolvePlan(c.Own, c.Recorded, c.DbService, L"C:\\Desktop");
        EXPECT_EQ(p.InstallDir, c.Install) << p.InstallDir;
        EXPECT_EQ(p.SharedDataDir, c.Shared);
        EXPECT_EQ(p.BackupDir, c.Backup);
        EXPECT_EQ(p.DesktopLink, L"C:\\Desktop\\Corvane Market Pos.lnk");
        EXPECT_FALSE(p.RemoveDatabase);
    }
}

TEST_F(Uninstaller, StubbornServiceIsEndedAndTheDatabaseGoesOnlyWhenAsked) {
    Host.StopServiceResult = false;
    Host.ProcessRunningResult = false;
    Plan.RemoveDatabase = true;
    auto u = Make();
    EXPECT_EQ(Run(u), TUninstaller::TResult::Success);
    const auto calls = Journal.Entries();
    const std::vector<std::wstring> expected = {
        L"cmd|sc query CorvaneMarketService|5000",
        L"stopsvc|CorvaneMarketService|30",
        L"cmd|taskkill /F /IM CorvaneMarketServer.exe|5000",
        L"waitexit|CorvaneMarketServer.exe|15",
        L"delsvc|CorvaneMarketService|15",
        L"cmd|sc query CorvaneDB|5000",
        L"stopsvc|CorvaneDB|30",
        L"cmd|taskkill /F /IM mariadbd.exe|5000",
        L"waitexit|mariadbd.exe|15",
        L"delsvc|CorvaneDB|15",
        L"cmd|netsh advfirewall firewall delete rule name=\"CorvaneDB\"|3000"};
    size_t at = 0;
    for (const auto& c : calls)
        if (at < expected.size() && c == expected[at])
            ++at;
    EXPECT_EQ(at, expected.size()) << "calls missing or out of order from number " << at;
    EXPECT_TRUE(Logged(L"  ! UYARI: CorvaneMarketService durdurulamadı - CorvaneMarketServer.exe "
                       L"sonlandırılıyor"));
    EXPECT_FALSE(fs::exists(Root / L"CorvaneOrtakData"));

    // A service that cannot be deleted is a failure, and the entry stays for a second run; the
    // data of a database server that may still run stays too.
    Host.DeleteServiceResult = false;
    System.KeyDeletes = 0;
    Write(L"CorvaneOrtakData\\my.ini", "x");
    auto again = Make();
    EXPECT_EQ(Run(again), TUninstaller::TResult::Failed);
    EXPECT_EQ(again.Failures().front(), L"CorvaneMarketService servisi silinemedi");
    EXPECT_EQ(System.KeyDeletes, 0);
    EXPECT_TRUE(fs::exists(Root / L"CorvaneOrtakData\\my.ini"));
}

TEST_F(Uninstaller, CancelledBetweenStepsAndARunWithNothingLeftSucceeds) {
    int asked = 0;
    auto u = Make();
    EXPECT_EQ(u.Run(Plan, [&] { return ++asked > 2; }), TUninstaller::TResult::Cancelled);
    EXPECT_TRUE(Logged(L"[2/7] CorvaneMarketService kaldırılıyor..."));
    EXPECT_FALSE(Logged(L"[3/7] Güvenlik duvarı kuralı siliniyor..."));
    EXPECT_TRUE(Logged(L"KALDIRMA İPTAL EDİLDİ"));
    EXPECT_TRUE(fs::exists(Root / L"CorvaneZideroZur"));

    // Nothing there any more: every step says so and the run succeeds.
    DeleteDirRecursive(Root.wstring());
    Host.CmdResults[L"sc query CorvaneMarketService"] = 1060;
    System.KeyResult = ERROR_FILE_NOT_FOUND;
    Log.clear();
    auto empty = Make();
    EXPECT_EQ(Run(empty), TUninstaller::TResult::Success);
    for (const wchar_t* line :
         {L"  CorvaneMarketService kurulu değil", L"  Kısayol yok", L"  Yedek yok", L"  Kayıt yok"})
        EXPECT_TRUE(Logged(line));
    EXPECT_TRUE(Logged(L"  Kurulum klasörü yok: " + Plan.InstallDir));
}

// Links an ordinary user plants where the uninstaller deletes: at the update backup, at the
// folder an interrupted update leaves beside it and inside the installation folder. Nothing
// behind them goes; the application does, and so does the interrupted update's other folder.
TEST_F(Uninstaller, NothingBehindALinkIsDeleted) {
    Write(L"outside\\keep.txt", "keep");
    fs::remove_all(Root / L"CorvaneUpdateYedek");
    const std::wstring outside = (Root / L"outside").wstring();
    ASSERT_TRUE(MakeFolderLink(Plan.BackupDir, outside));
    ASSERT_TRUE(MakeFolderLink(Plan.BackupDir + L".yeni", outside));
    ASSERT_TRUE(MakeFolderLink(Plan.InstallDir + L"\\masaustu\\planted", outside));
    std::string owner(Plan.InstallDir.begin(), Plan.InstallDir.end());
    Write(L"CorvaneUpdateYedek.onceki\\backup.info", "\xEF\xBB\xBFINSTALL_DIR=" + owner + "\r\n");
    Write(L"CorvaneUpdateYedek.onceki\\CorvaneZideroZUR.exe", "old");
    auto u = Make();
    EXPECT_EQ(Run(u), TUninstaller::TResult::Failed);
    EXPECT_EQ(ReadText(outside + L"\\keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(Root / L"CorvaneZideroZur\\CorvaneZideroZUR.exe"));
    EXPECT_FALSE(fs::exists(Root / L"CorvaneZideroZur\\masaustu\\assets"));
    EXPECT_FALSE(fs::exists(Root / L"CorvaneUpdateYedek.onceki"));
    for (const std::wstring& link : {Plan.BackupDir, Plan.BackupDir + L".yeni"})
        EXPECT_TRUE(
            Logged(L"  ! Silinmedi: " + link + L" - bir bağlantı (junction/sembolik bağlantı)"));
    EXPECT_EQ(System.KeyDeletes, 0);
    EXPECT_TRUE(System.Scheduled.empty());
}

// A folder at a rule's name whose owner is an ordinary user is left whole, as Windows reports
// that owner (Wine gives every file the account that runs it).
TEST_F(Uninstaller, AFolderOfAnotherOwnerIsLeftWhole) {
    vpfnGetSecurityInfo = [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*,
                             PACL*, PACL*, PSECURITY_DESCRIPTOR* sd) -> DWORD {
        BOOL defaulted = FALSE;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-1-2-3-1001",
                                                                  SDDL_REVISION_1, sd, nullptr) ||
            !GetSecurityDescriptorOwner(*sd, owner, &defaulted))
            return ERROR_INVALID_DATA;
        return ERROR_SUCCESS;
    };
    auto u = Make();
    EXPECT_EQ(Run(u), TUninstaller::TResult::Failed);
    ResetWin32Seam();
    EXPECT_TRUE(fs::exists(Root / L"CorvaneZideroZur\\CorvaneZideroZUR.exe"));
    EXPECT_TRUE(fs::exists(Root / L"CorvaneUpdateYedek\\backup.info"));
    EXPECT_TRUE(Logged(L"  ! Silinmedi: " + Plan.InstallDir +
                       L" - sahibi SYSTEM, Administrators veya TrustedInstaller değil"));
}

// A file held open goes at the restart, after every folder of its path has been protected
// against being swapped for a link until then.
TEST_F(Uninstaller, AHeldFileIsScheduledOnlyOnAProtectedPath) {
    const std::wstring held = Plan.InstallDir + L"\\masaustu\\assets\\app.js";
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto u = Make();
    // Only the restart is left to do: the entry goes, so that detection sees the product gone.
    EXPECT_EQ(Run(u), TUninstaller::TResult::RestartPending);
    EXPECT_EQ(System.KeyDeletes, 1);
    CloseHandle(h);
    ASSERT_GE(System.Scheduled.size(), 1u);
    EXPECT_EQ(System.Scheduled[0], held);
    // The installation folder, masaustu and assets hold the path.
    EXPECT_GE(System.Protected, 3);
    EXPECT_FALSE(fs::exists(Root / L"CorvaneZideroZur\\CorvaneZideroZUR.exe"));
}

// The starting program holds its file until it has the result: everything else goes first, then
// its file and folder. One that does not end in time leaves them for the restart, no failure.
TEST_F(Uninstaller, HandOverFirstThenTheStartingProgramsFile) {
    for (const bool ends : {true, false}) {
        MakeTree();
        System.Scheduled.clear();
        System.KeyDeletes = 0;
        Log.clear();
        HANDLE h = CreateFileW(Plan.OwnFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<TUninstaller::TResult> told;
        bool restGone = false;
        auto u = Make();
        u.SetHandOver([&](TUninstaller::TResult r) {
            told.push_back(r);
            restGone = !fs::exists(Root / L"CorvaneZideroZur\\masaustu") &&
                       fs::exists(Plan.OwnFile) && System.KeyDeletes > 0;
            if (ends)
                CloseHandle(h);
        });
        EXPECT_EQ(Run(u), TUninstaller::TResult::Success);
        if (!ends)
            CloseHandle(h);
        EXPECT_EQ(told, std::vector<TUninstaller::TResult>{TUninstaller::TResult::Success});
        EXPECT_TRUE(restGone);
        EXPECT_EQ(fs::exists(Root / L"CorvaneZideroZur"), !ends);
        const std::vector<std::wstring> later = {Plan.OwnFile, Plan.InstallDir};
        EXPECT_EQ(System.Scheduled, ends ? std::vector<std::wstring>() : later);
        EXPECT_EQ(Logged(L"  Silindi: " + Plan.InstallDir), ends);
    }
}

// The copy the uninstaller continues as gets its folder back whole, a drive root included
// (a trailing backslash before a closing quote would swallow /S).
TEST(UninstallCopy, ArgumentsComeBackWhole) {
    const std::wstring exe = L"C:\\Temp\\CorvaneKaldirma_1\\Uninstall Corvane Market Pos.exe";
    for (const std::wstring& dir : {std::wstring(L"D:\\"), std::wstring(L"D:\\Corvane Zidero")}) {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(
            CopyCommandLine(exe, 42, L"8,12,16", dir, true, L"", true).c_str(), &argc);
        ASSERT_NE(argv, nullptr);
        const std::vector<std::wstring> args(argv, argv + argc);
        LocalFree(argv);
        EXPECT_EQ(args, (std::vector<std::wstring>{exe, L"/_kopya=42", L"/_devir=8,12,16",
                                                   L"/_dizin=" + dir, L"/S", L"/VERITABANI"}));
    }
}

} // namespace
