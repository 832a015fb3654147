// The uninstaller's steps: which folders a run may touch, the order and bounds of its commands
// when a service will not stop or go, and cancellation. Removal against real locks is the
// setup-file suite's part.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Journal.h"
#include "ScriptedHost.h"
#include "uSetupEngine.h"
#include "uUninstaller.h"

namespace fs = std::filesystem;

namespace {

// Leaves the machine's registry alone: the restart list and the uninstall entry are recorded.
class TRecordingSystem : public TRemovalSystem {
public:
    DWORD KeyResult = ERROR_SUCCESS;
    int KeyDeletes = 0;
    DWORD ScheduleDeleteAtRestart(const std::wstring&) override { return ERROR_SUCCESS; }
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
        Root = fs::temp_directory_path() / ("uninst-" + std::to_string(GetCurrentProcessId()));
        TSetupEngine::DeleteDirRecursive(Root.wstring());
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
    void TearDown() override { TSetupEngine::DeleteDirRecursive(Root.wstring()); }

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

    // A service that cannot be deleted is a failure, and the entry stays for a second run.
    Host.DeleteServiceResult = false;
    System.KeyDeletes = 0;
    auto again = Make();
    EXPECT_EQ(Run(again), TUninstaller::TResult::Failed);
    EXPECT_EQ(again.Failures().front(), L"CorvaneMarketService servisi silinemedi");
    EXPECT_EQ(System.KeyDeletes, 0);
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
    TSetupEngine::DeleteDirRecursive(Root.wstring());
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

} // namespace
