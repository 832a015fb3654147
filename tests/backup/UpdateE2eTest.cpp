// Updates from end to end on the test prefix: an installation made by the engine's own new
// installation from demo payload 1.0.0, then a full or file update from payload 1.1.0 with the
// real host and the stand-ins, the automatic rollback of a failed copy, and the user's restore.
#include <winsock2.h>

#include "../e2e/E2eSupport.h"
#include "BackupTestSupport.h"
#include "uInstallation.h"

#include <regex>
#include <thread>

namespace {

using TLines = std::vector<std::wstring>;

const std::wstring kOrtak = L"D:\\CorvaneOrtakData";
const std::wstring kLink = L"Corvane Market Pos.lnk";

bool Starts(const std::wstring& s, const std::wstring& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The entries a full-update backup of the installation holds, as relative paths.
TLines FullBackupNames() {
    TLines names = {L"CorvaneZideroZUR.exe",
                    L"CorvaneCore.dll",
                    L"CorvaneReports.dll",
                    L"sqlite3.dll",
                    L"version.json",
                    L"web_resources.res",
                    L"masaustu",
                    L"masaustu\\index.html",
                    L"masaustu\\assets",
                    L"masaustu\\assets\\app.js",
                    L"masaustu\\assets\\style.css",
                    L"backup.info",
                    L"surum.info"};
    std::sort(names.begin(), names.end());
    return names;
}

// backup.info: mark, four CR LF lines, nothing else.
std::vector<std::string> InfoLines(const std::string& bytes) {
    std::vector<std::string> lines;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) {
        ADD_FAILURE() << "no byte-order mark";
        return lines;
    }
    size_t pos = 3;
    while (pos < bytes.size()) {
        const size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text after the last CR LF";
            break;
        }
        lines.push_back(bytes.substr(pos, end - pos));
        EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos);
        pos = end + 2;
    }
    return lines;
}

class UpdateE2e : public ::testing::Test {
protected:
    void SetUp() override {
        ResetMachine();
        RemoveTree(kBackup + L".onceki");
        TEngineRun install;
        ConfigureDemo(install.Engine(), L"1.0.0", true);
        ASSERT_TRUE(install.Run()) << install.LogText();
        ASSERT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
        installed = Snapshot(kInstall);
    }
    void TearDown() override {
        ResetMachine();
        RemoveTree(kBackup + L".onceki");
    }
    static void Update(TEngineRun& run, bool full) {
        ConfigureDemo(run.Engine(), L"1.1.0", true);
        TSetupEngineTestAccess::SetUpdateMode(run.Engine(), true, full);
    }
    // Every file of the backup is the one installed before the update, byte for byte.
    void ExpectBackupOfTheInstallation(const TLines& names) {
        const TSnap backup = Snapshot(kBackup);
        EXPECT_EQ(Names(backup), names);
        for (const auto& [rel, bytes] : backup)
            if (rel != L"backup.info" && rel != L"surum.info" && installed.count(rel)) {
                EXPECT_EQ(bytes, installed.at(rel)) << std::string(rel.begin(), rel.end());
            }
    }
    // Every entry the backup holds is in the installation as it was before the update.
    void ExpectBackupRestored() {
        const TSnap now = Snapshot(kInstall);
        for (const auto& rel : Names(Snapshot(kBackup))) {
            if (rel == L"backup.info" || rel == L"surum.info")
                continue;
            ASSERT_EQ(now.count(rel), 1u) << std::string(rel.begin(), rel.end());
            EXPECT_EQ(now.at(rel), installed.at(rel)) << std::string(rel.begin(), rel.end());
        }
    }
    static size_t IndexOf(const TLines& logs, const std::wstring& line, size_t from = 0) {
        const auto it = std::find(logs.begin() + static_cast<long>(from), logs.end(), line);
        return static_cast<size_t>(it - logs.begin());
    }

    TSnap installed;
};

TEST_F(UpdateE2e, FullUpdateReplacesTheApplicationKeepsTheShopsDataAndLeavesABackup) {
    const TSnap dataBefore = Snapshot(kOrtak + L"\\Data");
    const TSnap mariaBefore = Snapshot(kOrtak + L"\\mariadb");
    const std::string myIni = FileBytes(kOrtak + L"\\my.ini");
    ASSERT_FALSE(dataBefore.empty());
    TEngineRun probe;
    const std::wstring link = probe.Engine().GetDesktopPath() + L"\\" + kLink;
    ASSERT_TRUE(DeleteFileW(link.c_str())) << "the installation made a shortcut";

    TEngineRun run;
    Update(run, true);
    ASSERT_TRUE(run.Run()) << run.LogText();
    EXPECT_EQ(run.Percents(), (std::vector<int>{2, 5, 8, 10, 65, 85, 100}));

    // The application's files are the new payload's; what belongs to the shop is untouched.
    const std::wstring payload = DemoPayload(L"1.1.0");
    for (const auto& rel : FilesUnder(payload)) {
        if (Starts(rel, L"Data\\") || Starts(rel, L"mariadb\\") || rel == L"pos-config.json")
            continue;
        EXPECT_EQ(FileBytes(kInstall + L"\\" + rel), FileBytes(payload + L"\\" + rel))
            << std::string(rel.begin(), rel.end());
    }
    EXPECT_NE(FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"),
              installed.at(L"CorvaneZideroZUR.exe"));
    EXPECT_EQ(FileBytes(kInstall + L"\\pos-config.json"), installed.at(L"pos-config.json"));
    EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneMarketServis\\pos-config.json"),
              installed.at(L"CorvaneMarketServis\\pos-config.json"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\Data"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\mariadb"));
    EXPECT_EQ(Snapshot(kOrtak + L"\\Data"), dataBefore);
    EXPECT_EQ(Snapshot(kOrtak + L"\\mariadb"), mariaBefore);
    EXPECT_EQ(FileBytes(kOrtak + L"\\my.ini"), myIni);

    // Back-office service registered again and running; shortcut made again.
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ServiceImagePath(L"CorvaneMarketService")
                  .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
              std::wstring::npos);
    // The database is not the update's business (its state is not checked here: other test
    // trees on this machine may hold port 3307).
    for (const auto& line : run.Logs())
        EXPECT_EQ(line.find(L"CorvaneDB"), std::wstring::npos) << std::wstring(line);
    EXPECT_TRUE(FileExists(link));
    for (const auto* line :
         {L"[TAM GÜNCELLEME] Servis yeniden kuruluyor...", L"  Servis OK",
          L"  Corvane Market Pos.lnk OK", L"TAM GÜNCELLEME BAŞARIYLA TAMAMLANDI"})
        EXPECT_TRUE(run.Logged(line)) << std::wstring(line) << "\n" << run.LogText();

    // The backup: the 1.0.0 files the update replaced, and its description.
    ExpectBackupOfTheInstallation(FullBackupNames());
    const auto lines = InfoLines(FileBytes(kBackup + L"\\backup.info"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex("TARIH=\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}")))
        << lines[0];
    EXPECT_EQ(lines[1], "MOD=TamGuncelleme");
    EXPECT_EQ(lines[2], "INSTALL_DIR=D:\\CorvaneZideroZur");
    int64_t counted = 0;
    for (const auto* rel :
         {L"CorvaneZideroZUR.exe", L"CorvaneCore.dll", L"CorvaneReports.dll", L"sqlite3.dll",
          L"masaustu\\index.html", L"masaustu\\assets\\app.js", L"masaustu\\assets\\style.css"})
        counted += static_cast<int64_t>(installed.at(rel).size());
    EXPECT_EQ(lines[3], "BOYUT=" + std::to_string(counted));
    std::wstring tarih;
    int64_t boyut = 0;
    ASSERT_TRUE(run.Engine().GetBackupInfo(tarih, boyut));
    EXPECT_EQ(boyut, counted);
}

TEST_F(UpdateE2e, FileUpdateReplacesOnlyTheTillProgramAndLeavesTheServiceRunning) {
    TEngineRun run;
    Update(run, false);
    ASSERT_TRUE(run.Run()) << run.LogText();
    EXPECT_EQ(run.Percents(), (std::vector<int>{2, 5, 15, 30, 100}));

    TSnap now = Snapshot(kInstall);
    EXPECT_EQ(now.at(L"CorvaneZideroZUR.exe"),
              FileBytes(DemoPayload(L"1.1.0") + L"\\CorvaneZideroZUR.exe"));
    now.erase(L"CorvaneZideroZUR.exe");
    TSnap before = installed;
    before.erase(L"CorvaneZideroZUR.exe");
    EXPECT_EQ(now, before) << "nothing else of the installation changes";
    EXPECT_EQ(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(run.Host().IsProcessRunning(L"CorvaneMarketServer.exe"));

    ExpectBackupOfTheInstallation({L"CorvaneZideroZUR.exe", L"backup.info", L"surum.info"});
    const auto lines = InfoLines(FileBytes(kBackup + L"\\backup.info"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "MOD=DosyaGuncelleme");
    EXPECT_EQ(lines[3], "BOYUT=" + std::to_string(installed.at(L"CorvaneZideroZUR.exe").size()));
    EXPECT_TRUE(run.Logged(L"DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI"));
}

TEST_F(UpdateE2e, FullUpdateWhoseCopyFailsOnALockedLibraryIsRolledBack) {
    // The new payload's library is held open by another program: the copy cannot read it.
    TLockedFile lock(DemoPayload(L"1.1.0") + L"\\CorvaneReports.dll");
    ASSERT_TRUE(lock.Locked());
    TEngineRun run;
    Update(run, true);
    run.Engine().SetVersion(L"1.1.0");
    EXPECT_FALSE(run.Run());
    EXPECT_EQ(Installation::RecordedDisplayVersion(), L"1.0.0") << "a failed update's version";
    const std::wstring copyError =
        L"Kritik dosya kopyalanamadı: CorvaneReports.dll - " + SharingViolationText();
    EXPECT_EQ(run.FinishedEntry(), L"finished|0|" + copyError);
    ExpectBackupRestored();
    EXPECT_EQ(Snapshot(kInstall + L"\\masaustu"), Snapshot(kBackup + L"\\masaustu"));

    const TLines logs = run.Logs();
    const size_t head = IndexOf(logs, L"!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!");
    ASSERT_LT(head + 4, logs.size()) << run.LogText();
    EXPECT_EQ(logs[head - 1], L"");
    EXPECT_EQ(logs[head + 1], L"Hata: " + copyError);
    EXPECT_EQ(TLines(logs.begin() + static_cast<long>(head) + 2,
                     logs.begin() + static_cast<long>(head) + 6),
              (TLines{kSep, L"ROLLBACK BASLATILIYOR", kSep,
                      L"Yedekten geri yukleniyor: D:\\CorvaneUpdateYedek"}));
    const size_t done = IndexOf(logs, L"ROLLBACK TAMAMLANDI", head);
    ASSERT_LT(done, logs.size()) << run.LogText();
    EXPECT_EQ(
        TLines(logs.begin() + static_cast<long>(done) - 1, logs.end()),
        (TLines{kSep, L"ROLLBACK TAMAMLANDI", kSep,
                L"Sistem onceki surume basariyla geri yuklendi.", L"", L"!!! HATA: " + copyError}));
    // Whatever was stopped stays stopped; nothing is started again.
    EXPECT_NE(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(UpdateE2e, FailedCopyWhoseRestoreFailsTooEndsWithTheCopyError) {
    // Once the backup is taken, an installed library is held open: the copy fails on it and
    // so does its restore.
    TEngineRun run;
    Update(run, true);
    std::unique_ptr<TLockedFile> lock;
    TJournal& journal = run.Journal();
    run.Engine().SetOnProgress([&](int percent, const std::wstring& step) {
        if (percent == 10)
            lock = std::make_unique<TLockedFile>(kInstall + L"\\CorvaneCore.dll");
        journal.Add(L"progress|" + std::to_wstring(percent) + L"|" + step);
    });
    EXPECT_FALSE(run.Run());
    ASSERT_TRUE(lock && lock->Locked());
    const std::wstring why = SharingViolationText();
    const std::wstring copyError = L"Kritik dosya kopyalanamadı: CorvaneCore.dll - " + why;
    EXPECT_EQ(run.FinishedEntry(), L"finished|0|" + copyError);
    const TLines logs = run.Logs();
    const size_t head = IndexOf(logs, L"Hata: " + copyError);
    ASSERT_LT(head, logs.size()) << run.LogText();
    const size_t restoreFailed = IndexOf(
        logs, L"GERI YUKLEME DE BASARISIZ: Dosya geri yuklenemedi (CorvaneCore.dll): " + why, head);
    ASSERT_LT(restoreFailed, logs.size()) << run.LogText();
    EXPECT_EQ(TLines(logs.begin() + static_cast<long>(restoreFailed) + 1, logs.end()),
              (TLines{L"", L"!!! HATA: " + copyError}));
    EXPECT_FALSE(run.Logged(L"Sistem onceki surume basariyla geri yuklendi."));
    lock.reset();
    EXPECT_EQ(FileBytes(kBackup + L"\\CorvaneCore.dll"), installed.at(L"CorvaneCore.dll"))
        << "the backup is intact for a later restore";
}

TEST_F(UpdateE2e, UserRestoreAfterAnUpdatePutsTheBackupBackTwiceAlike) {
    ASSERT_EQ(Installation::RecordedDisplayVersion(), L"1.0.0");
    {
        TEngineRun update;
        Update(update, true);
        update.Engine().SetVersion(L"1.1.0");
        ASSERT_TRUE(update.Run()) << update.LogText();
    }
    // The entry names the new version; the backup the one its files belong to.
    EXPECT_EQ(Installation::RecordedDisplayVersion(), L"1.1.0");
    EXPECT_EQ(FileBytes(kBackup + L"\\surum.info"), "1.0.0\r\n");
    // What a failed update might have added.
    Put(kInstall + L"\\masaustu\\eklenen.js", "added after the backup");
    Put(kInstall + L"\\Yeni.dll", "a new top-level library");

    TSnap first;
    for (int round = 1; round <= 2; ++round) {
        // Before the second round the service is gone, as a power cut during the update's
        // re-registration leaves it, with the update's mark: the restore registers it again
        // and, as a restore starts nothing, leaves it stopped.
        if (round == 2) {
            RemoveServiceHard(L"CorvaneMarketService");
            Put(kInstall + L"\\CorvaneMarketServis\\servis.yeniden-kurulacak", "x");
        }
        TEngineRun restore;
        restore.Engine().SetInstallDir(kInstall);
        // As the wizard does: on a thread of its own.
        std::thread worker([&] { restore.Engine().ExecuteRollback(); });
        worker.join();
        EXPECT_EQ(restore.FinishedEntry(), L"finished|1|") << restore.LogText();
        EXPECT_EQ(restore.Percents(), (std::vector<int>{5, 20, 30, 100}));
        ExpectBackupRestored();
        EXPECT_FALSE(FileExists(kInstall + L"\\masaustu\\eklenen.js"));
        EXPECT_EQ(FileBytes(kInstall + L"\\Yeni.dll"), "a new top-level library");
        EXPECT_FALSE(FileExists(kInstall + L"\\backup.info"));
        EXPECT_TRUE(restore.Logged(L"Onceki surume basariyla donuldu."));
        EXPECT_EQ(Installation::RecordedDisplayVersion(), L"1.0.0");
        if (round == 1) {
            first = Snapshot(kInstall);
            EXPECT_NE(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING))
                << "the restore stops the service and does not start it again";
        } else {
            EXPECT_EQ(Snapshot(kInstall), first);
            EXPECT_NE(ServiceImagePath(L"CorvaneMarketService")
                          .find(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
                      std::wstring::npos);
            EXPECT_NE(ServiceState(L"CorvaneMarketService"), static_cast<DWORD>(SERVICE_RUNNING));
            EXPECT_TRUE(
                restore.Logged(L"  ! CorvaneMarketService kayitli degildi, yeniden kuruldu"));
            EXPECT_FALSE(restore.Logged(L"  net start CorvaneMarketService..."));
        }
    }
}

TEST_F(UpdateE2e, UserRestoreWithoutABackupFailsAfterStoppingTheApplication) {
    TEngineRun restore;
    restore.Engine().SetInstallDir(kInstall);
    restore.Engine().ExecuteRollback();
    EXPECT_EQ(restore.Percents(), (std::vector<int>{5, 20}));
    EXPECT_EQ(restore.FinishedEntry(), L"finished|0|Geri yuklenecek yedek bulunamadi.");
    EXPECT_TRUE(restore.Logged(L"ROLLBACK HATASI: Geri yuklenecek yedek bulunamadi."));
    EXPECT_EQ(Snapshot(kInstall), installed);
}

} // namespace
