// Putting the backup back: RestoreBackup on real folders after a simulated failed update, the
// user's ExecuteRollback with its progress and single report, and the driver's automatic
// rollback around a real file copy that fails.
#include "BackupTestSupport.h"

#include <chrono>

#include <sddl.h>

namespace {

using TLines = std::vector<std::wstring>;
using namespace std::chrono_literals;

class Rollback : public BackupFixture {
protected:
    // A full-update backup of version 1.0, then what a failed update to 2.0 left behind.
    void BackupThenBreak() {
        MakeInstallation("1.0");
        Put(kInstall + L"\\masaustu\\assets\\plugin.dll", "plugin 1.0");
        FullUpdate();
        Step("CreateBackup");
        original = Snapshot(kInstall);
        backup = Snapshot(kBackup);
        Put(kInstall + L"\\CorvaneZideroZUR.exe", "till program 2.0");
        Put(kInstall + L"\\CorvaneCore.dll", "core 2.0");
        Put(kInstall + L"\\Yeni.dll", "a library only 2.0 has");
        Put(kInstall + L"\\version.json", "{\"version\": \"2.0\"}");
        Put(kInstall + L"\\masaustu\\index.html", "<p>2.0</p>");
        Put(kInstall + L"\\masaustu\\extra.js", "added by 2.0");
        DeleteFileW((kInstall + L"\\masaustu\\assets\\app.js").c_str());
        broken = Snapshot(kInstall);
        journal.Clear();
    }
    // Every entry the backup holds is back as it was, the rest as the failed update left it.
    void ExpectRestored() { ExpectRestoredBut({}); }
    // The same, with the entries named (and what they hold) left out of the comparison.
    void ExpectRestoredBut(const TLines& leftOut) {
        TSnap now = Snapshot(kInstall);
        for (const auto& name : leftOut)
            for (auto it = now.begin(); it != now.end();)
                it = it->first.rfind(name, 0) == 0 ? now.erase(it) : std::next(it);
        for (const auto& [rel, bytes] : backup) {
            const bool out = std::any_of(leftOut.begin(), leftOut.end(),
                                         [&](const auto& name) { return rel.rfind(name, 0) == 0; });
            if (rel == L"backup.info" || out)
                continue;
            EXPECT_EQ(now.count(rel), 1u) << std::string(rel.begin(), rel.end());
            if (now.count(rel)) {
                EXPECT_EQ(now.at(rel), original.at(rel)) << std::string(rel.begin(), rel.end());
            }
        }
        EXPECT_EQ(now.count(L"masaustu\\extra.js"), 0u) << "masaustu is replaced whole";
        EXPECT_EQ(now.at(L"Yeni.dll"), "a library only 2.0 has") << "not in the backup: stays";
        EXPECT_EQ(now.count(L"backup.info"), 0u);
        EXPECT_EQ(now.count(L"masaustu.geri"), 0u);
        EXPECT_EQ(now.count(L"masaustu.eski"), 0u);
        EXPECT_EQ(now.at(L"pos-config.json"), original.at(L"pos-config.json"));
        EXPECT_EQ(now.at(L"Data\\shop.db"), original.at(L"Data\\shop.db"));
        EXPECT_EQ(Snapshot(kBackup), backup) << "a restore never changes the backup";
    }
    // The restore's own lines, with the entries in a fixed order.
    static TLines SortedMiddle(TLines lines, size_t head, size_t tail) {
        if (lines.size() >= head + tail)
            std::sort(lines.begin() + head, lines.end() - tail);
        return lines;
    }

    TSnap original, backup, broken;
};

// ---------------------------------------------------------------------------------------------
// RestoreBackup

TEST_F(Rollback, RestorePutsEveryBackedUpEntryBackAndNothingElse) {
    BackupThenBreak();
    Step("RestoreBackup");
    ExpectRestored();
    EXPECT_EQ(
        SortedMiddle(Logs(), 4, 3),
        (TLines{kSep, L"ROLLBACK BASLATILIYOR", kSep,
                L"Yedekten geri yukleniyor: D:\\CorvaneUpdateYedek", L"  [geri] CorvaneCore.dll",
                L"  [geri] CorvaneZideroZUR.exe", L"  [geri] sqlite3.dll", L"  [geri] version.json",
                L"  [geri] web_resources.res", L"  [klasor] masaustu", kSep, L"ROLLBACK TAMAMLANDI",
                kSep}));
    EXPECT_EQ(journal.Count(L"sleep|"), 0);
}

TEST_F(Rollback, RestoringTwiceGivesTheSameInstallation) {
    BackupThenBreak();
    Step("RestoreBackup");
    const TSnap first = Snapshot(kInstall);
    Step("RestoreBackup");
    EXPECT_EQ(Snapshot(kInstall), first);
    ExpectRestored();
}

TEST_F(Rollback, FileUpdateBackupRestoresOnlyTheTillProgram) {
    MakeInstallation("1.0");
    FileUpdate();
    Step("CreateBackup");
    const std::string exe = FileBytes(kInstall + L"\\CorvaneZideroZUR.exe");
    Put(kInstall + L"\\CorvaneZideroZUR.exe", "2.0");
    Put(kInstall + L"\\CorvaneCore.dll", "core 2.0");
    journal.Clear();
    Step("RestoreBackup");
    EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"), exe);
    EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneCore.dll"), "core 2.0");
    EXPECT_EQ(Logs(),
              (TLines{kSep, L"ROLLBACK BASLATILIYOR", kSep,
                      L"Yedekten geri yukleniyor: D:\\CorvaneUpdateYedek",
                      L"  [geri] CorvaneZideroZUR.exe", kSep, L"ROLLBACK TAMAMLANDI", kSep}));
}

TEST_F(Rollback, RestoreRefusesAMissingOrIncompleteBackup) {
    EXPECT_EQ(StepError("RestoreBackup"), L"Yedek klasoru bulunamadi: D:\\CorvaneUpdateYedek");
    Put(kBackup + L"\\CorvaneZideroZUR.exe", "x");
    Put(kBackup + L"\\BACKUP.INFO.txt", "x");
    EXPECT_EQ(StepError("RestoreBackup"),
              L"Yedek bilgi dosyasi bulunamadi (backup.info). Yedek bozuk olabilir.");
    EXPECT_FALSE(FileExists(kInstall + L"\\CorvaneZideroZUR.exe")) << "nothing restored";
    EXPECT_EQ(Logs(),
              (TLines{kSep, L"ROLLBACK BASLATILIYOR", kSep, kSep, L"ROLLBACK BASLATILIYOR", kSep}));
}

TEST_F(Rollback, RestoreNeedsTheInstallationFolder) {
    MakeInstallation();
    FileUpdate();
    Step("CreateBackup");
    RemoveTree(kInstall);
    EXPECT_EQ(StepError("RestoreBackup"), L"Kurulum dizini bulunamadi: D:\\CorvaneZideroZur");
    EXPECT_FALSE(DirectoryExists(kInstall));
    engine->SetInstallDir(L"");
    EXPECT_EQ(StepError("RestoreBackup"), L"Yedek klasoru bulunamadi: C:\\CorvaneUpdateYedek");
}

TEST_F(Rollback, BackupInfoInAnyCaseIsNeverCopied) {
    BackupThenBreak();
    ASSERT_TRUE(
        MoveFileW((kBackup + L"\\backup.info").c_str(), (kBackup + L"\\Backup.Info").c_str()));
    Step("RestoreBackup");
    EXPECT_FALSE(FileExists(kInstall + L"\\backup.info"));
    EXPECT_FALSE(FileExists(kInstall + L"\\Backup.Info"));
}

TEST_F(Rollback, StagingCopyThatFailsIsNeverSwappedInAndTheFolderIsRestoredInPlace) {
    BackupThenBreak();
    auto lock = std::make_unique<TLockedFile>(kBackup + L"\\masaustu\\assets\\plugin.dll");
    ASSERT_TRUE(lock->Locked());
    EXPECT_EQ(StepError("RestoreBackup"),
              L"Klasor geri yuklenemedi (masaustu): Kritik dosya kopyalanamadı: plugin.dll - " +
                  SharingViolationText());
    EXPECT_TRUE(Logged(L"  ! masaustu gecici kopyasi tamamlanamadi, yerinde geri yukleniyor"))
        << LogText();
    EXPECT_TRUE(Logged(L"  ! Geri yuklenemeyen dosyalar: masaustu\\assets\\plugin.dll"));
    // The incomplete copy never replaced the installed folder: its library is still there, and
    // everything else the backup holds is back, top-level files included.
    lock.reset();
    ExpectRestored();
    EXPECT_FALSE(Logged(L"ROLLBACK TAMAMLANDI"));
    // The library was retried with its waits in the copy beside the folder and in place.
    EXPECT_EQ(journal.Count(L"sleep|2000"), 8);
}

TEST_F(Rollback, FolderWithoutRoomForItsCopyIsRestoredInPlace) {
    BackupThenBreak();
    host->FreeSpace = 10;
    Step("RestoreBackup");
    EXPECT_TRUE(Logged(L"  ! masaustu gecici kopyasi icin yer yok (0 MB gerekli), yerinde geri "
                       L"yukleniyor"))
        << LogText();
    ExpectRestored();
}

TEST_F(Rollback, FileThatCannotBeCopiedBackFailsTheRestoreAfterEveryOtherEntry) {
    BackupThenBreak();
    TLockedFile lock(kInstall + L"\\CorvaneZideroZUR.exe");
    EXPECT_EQ(StepError("RestoreBackup"),
              L"Dosya geri yuklenemedi (CorvaneZideroZUR.exe): " + SharingViolationText());
    EXPECT_TRUE(Logged(L"  ! CorvaneZideroZUR.exe geri yuklenemedi: " + SharingViolationText()));
    EXPECT_FALSE(Logged(L"  [geri] CorvaneZideroZUR.exe"));
    EXPECT_FALSE(Logged(L"ROLLBACK TAMAMLANDI"));
    EXPECT_EQ(journal.Count(L"sleep|"), 0) << "a top-level file is tried once";
    ExpectRestoredBut({L"CorvaneZideroZUR.exe"});
}

TEST_F(Rollback, LeftoversOfAnInterruptedRestoreAreClearedOrCompleted) {
    BackupThenBreak();
    Put(kInstall + L"\\masaustu.geri\\half.js", "half a copy");
    Put(kInstall + L"\\masaustu.eski\\old.js", "set aside");
    Step("RestoreBackup");
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\masaustu.geri"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\masaustu.eski"));
    EXPECT_EQ(Snapshot(kInstall + L"\\masaustu"), Snapshot(kBackup + L"\\masaustu"));

    // Cut between the two renames of the swap: the complete copy goes in at the next start.
    ASSERT_TRUE(
        MoveFileW((kInstall + L"\\masaustu").c_str(), (kInstall + L"\\masaustu.geri").c_str()));
    Put(kInstall + L"\\masaustu.eski\\extra.js", "the failed update's");
    EXPECT_TRUE(engine->BackupExists());
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\masaustu.geri"));
    EXPECT_FALSE(DirectoryExists(kInstall + L"\\masaustu.eski"));
    EXPECT_EQ(Snapshot(kInstall + L"\\masaustu"), Snapshot(kBackup + L"\\masaustu"));
}

TEST_F(Rollback, FolderWithOpenFilesIsRestoredInPlaceAroundThem) {
    BackupThenBreak();
    Put(kInstall + L"\\masaustu\\assets\\plugin.dll", "plugin 2.0");
    TLockedFile page(kInstall + L"\\masaustu\\index.html");
    TLockedFile plugin(kInstall + L"\\masaustu\\assets\\plugin.dll");
    ASSERT_TRUE(page.Locked() && plugin.Locked());
    TRefusedMoves refused({kInstall + L"\\masaustu"});
    const std::wstring why = SharingViolationText();
    EXPECT_EQ(StepError("RestoreBackup"),
              L"Klasor geri yuklenemedi (masaustu): Kritik dosya kopyalanamadı: plugin.dll - " +
                  why);
    EXPECT_TRUE(Logged(L"  ! masaustu klasoru tasinamadi (" + SysErrorMessage(ERROR_ACCESS_DENIED) +
                       L"), yerinde geri yukleniyor"))
        << LogText();
    EXPECT_TRUE(Logged(L"    ! index.html: " + why)) << "a locked page is a warning";
    EXPECT_TRUE(Logged(L"  ! Geri yuklenemeyen dosyalar: masaustu\\index.html, "
                       L"masaustu\\assets\\plugin.dll") ||
                Logged(L"  ! Geri yuklenemeyen dosyalar: masaustu\\assets\\plugin.dll, "
                       L"masaustu\\index.html"))
        << LogText();
    // Every other file is back, whatever the listing order; what the backup lacks is gone.
    ExpectRestoredBut({L"masaustu\\index.html", L"masaustu\\assets\\plugin.dll"});
    EXPECT_EQ(Snapshot(kBackup), backup);
}

TEST_F(Rollback, SwapWhoseRenameBackFailsNamesTheFolderAndTheNextRunClearsIt) {
    BackupThenBreak();
    {
        TRefusedMoves refused({kInstall + L"\\masaustu.geri", kInstall + L"\\masaustu.eski"});
        Step("RestoreBackup");
    }
    EXPECT_TRUE(Logged(L"  ! Kurulu klasor su adla kaldi: D:\\CorvaneZideroZur\\masaustu.eski"))
        << LogText();
    ExpectRestoredBut({L"masaustu.eski"});
    EXPECT_TRUE(DirectoryExists(kInstall + L"\\masaustu.eski"));
    Step("RestoreBackup");
    ExpectRestored();
}

// Answers the owner query as Windows would, with the owner given.
struct TOwnerSeam {
    static std::wstring& Owner() {
        static std::wstring owner;
        return owner;
    }
    explicit TOwnerSeam(const std::wstring& sddlOwner) {
        Owner() = sddlOwner;
        vpfnGetSecurityInfo = [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*,
                                 PACL*, PACL*, PSECURITY_DESCRIPTOR* sd) -> DWORD {
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW((L"O:" + Owner()).c_str(),
                                                                      SDDL_REVISION_1, sd, nullptr))
                return GetLastError();
            BOOL defaulted = FALSE;
            GetSecurityDescriptorOwner(*sd, owner, &defaulted);
            return ERROR_SUCCESS;
        };
    }
    ~TOwnerSeam() { ResetWin32Seam(); }
};

TEST_F(Rollback, OnlyWhatABackupHoldsIsRestoredAndOnlyFromAFolderOfOurs) {
    BackupThenBreak();
    Put(kBackup + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe", "planted");
    Put(kBackup + L"\\pos-config.json", "planted");
    backup = Snapshot(kBackup);
    for (const wchar_t* owner : {L"SY", L"BA",
                                 L"S-1-5-80-956008885-3418522649-1831038044-"
                                 L"1853292631-2271478464"}) {
        TOwnerSeam seam(owner);
        journal.Clear();
        Step("RestoreBackup");
        ExpectRestored();
        EXPECT_TRUE(Logged(L"  ! CorvaneMarketServis: yedege ait degil, geri yuklenmedi"))
            << LogText();
        EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe"),
                  original.at(L"CorvaneMarketServis\\CorvaneMarketServer.exe"));
    }
    // Made by an ordinary user: no backup at all.
    TOwnerSeam user(L"S-1-5-21-1-2-3-1001");
    Put(kInstall + L"\\CorvaneZideroZUR.exe", "till program 2.0");
    journal.Clear();
    EXPECT_FALSE(engine->BackupExists());
    std::wstring tarih;
    int64_t boyut = 0;
    EXPECT_FALSE(engine->GetBackupInfo(tarih, boyut));
    EXPECT_EQ(StepError("RestoreBackup"), L"Yedek klasoru bulunamadi: D:\\CorvaneUpdateYedek");
    EXPECT_TRUE(Logged(L"  ! Yedek klasoru kullanilmadi (sahibi yonetici degil): "
                       L"D:\\CorvaneUpdateYedek"))
        << LogText();
    EXPECT_EQ(FileBytes(kInstall + L"\\CorvaneZideroZUR.exe"), "till program 2.0");
}

TEST_F(Rollback, FolderMissingFromTheInstallationIsRestored) {
    BackupThenBreak();
    RemoveTree(kInstall + L"\\masaustu");
    Step("RestoreBackup");
    ExpectRestored();
}

// ---------------------------------------------------------------------------------------------
// ExecuteRollback: the user's restore

TLines StopSequence() {
    return {L"log|[1/14] İşlemler durduruluyor...",
            L"cmd|taskkill /F /IM CorvaneZideroZUR.exe|3000",
            L"cmd|taskkill /F /IM TarvikBridge.exe|3000",
            L"cmd|taskkill /F /IM OmnelBridge.exe|3000",
            L"sleep|2000",
            L"cmd|net stop CorvaneMarketService|10000",
            L"sleep|1000",
            L"cmd|taskkill /F /IM CorvaneMarketServer.exe|5000",
            L"sleep|2000",
            L"log|  OK"};
}

TEST_F(Rollback, UserRestoreWithoutBackupStopsTheProgramsAndReportsFailure) {
    for (bool folderOnly : {false, true}) {
        journal.Clear();
        if (folderOnly)
            MakeDirs(kBackup); // a folder without backup.info is no backup
        engine->ExecuteRollback();
        TLines expected = {L"log|Geri Yukleme baslatiliyor...",
                           L"progress|5|Islemler durduruluyor..."};
        for (const auto& l : StopSequence())
            expected.push_back(l);
        for (const auto* l : {L"progress|20|Yedek dogrulaniyor...",
                              L"log|ROLLBACK HATASI: Geri yuklenecek yedek bulunamadi.",
                              L"finished|0|Geri yuklenecek yedek bulunamadi."})
            expected.push_back(l);
        EXPECT_EQ(journal.Entries(), expected) << "folder only: " << folderOnly;
    }
}

TEST_F(Rollback, UserRestoreRestoresReportsOnceAndCannotBeCancelledBeforehand) {
    BackupThenBreak();
    engine->Cancel(); // a request left from before is cleared
    engine->ExecuteRollback();
    EXPECT_FALSE(TSetupEngineTestAccess::Cancelled(*engine));
    ExpectRestored();
    EXPECT_EQ(journal.Only(L"progress|"),
              (TLines{L"5|Islemler durduruluyor...", L"20|Yedek dogrulaniyor...",
                      L"30|Dosyalar geri yukleniyor...", L"100|Geri yukleme tamamlandi"}));
    EXPECT_EQ(journal.Only(L"finished|"), (TLines{L"1|"}));
    const auto entries = journal.Entries();
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(TLines(entries.end() - 4, entries.end()),
              (TLines{L"progress|100|Geri yukleme tamamlandi", L"log|",
                      L"log|Onceki surume basariyla donuldu.", L"finished|1|"}));
    EXPECT_TRUE(Logged(L"ROLLBACK TAMAMLANDI"));
}

TEST_F(Rollback, UserRestoreThatFailsReportsTheRestoreError) {
    BackupThenBreak();
    TLockedFile lock(kInstall + L"\\CorvaneZideroZUR.exe");
    engine->ExecuteRollback();
    const std::wstring msg =
        L"Dosya geri yuklenemedi (CorvaneZideroZUR.exe): " + SharingViolationText();
    EXPECT_EQ(journal.Only(L"finished|"), (TLines{L"0|" + msg}));
    const auto entries = journal.Entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], L"log|ROLLBACK HATASI: " + msg);
    EXPECT_EQ(journal.Only(L"progress|").back(), L"30|Dosyalar geri yukleniyor...");
}

TEST_F(Rollback, UserRestoreWithoutEventsDoesNotFail) {
    BackupThenBreak();
    engine->SetOnLog(nullptr);
    engine->SetOnProgress(nullptr);
    engine->SetOnFinished(nullptr);
    engine->ExecuteRollback();
    ExpectRestored();
}

TEST_F(Rollback, UserRestoreOnItsOwnThreadReportsToAThrowingReceiverWithoutEndingTheProcess) {
    BackupThenBreak();
    int reports = 0;
    engine->SetOnFinished([&](const TRunOutcome&) {
        ++reports;
        throw std::runtime_error("receiver failed");
    });
    std::thread restore([&] { engine->ExecuteRollback(); });
    restore.join();
    EXPECT_EQ(reports, 1);
    ExpectRestored();
}

// ---------------------------------------------------------------------------------------------
// The driver's automatic rollback around a real file copy

class AutomaticRollback : public Rollback {
protected:
    void MakeSource() {
        Put(kSource + L"\\CorvaneZideroZUR.exe", "till program 2.0");
        Put(kSource + L"\\CorvaneCore.dll", "core 2.0");
        Put(kSource + L"\\sqlite3.dll", "sqlite 2.0");
        Put(kSource + L"\\version.json", "{\"version\": \"2.0\"}");
        Put(kSource + L"\\masaustu\\index.html", "<p>2.0</p>");
        Put(kSource + L"\\masaustu\\yeni.js", "added by 2.0");
        Put(kSource + L"\\pos-config.json", "payload's own");
    }
    void RunToEnd() {
        ASSERT_TRUE(engine->Execute());
        ASSERT_TRUE(journal.WaitFor(L"finished|", 60s)) << LogText();
        engine.reset(); // joins the worker
    }
};

TEST_F(AutomaticRollback, FullUpdateWhoseCopyFailsIsRolledBackAndReportedAsFailed) {
    MakeInstallation("1.0");
    original = Snapshot(kInstall);
    MakeSource();
    TLockedFile lock(kSource + L"\\CorvaneCore.dll"); // the copy cannot read it
    FullUpdate();
    host->FreeSpace = int64_t(1) << 40;
    RunToEnd();

    const std::wstring copyError =
        L"Kritik dosya kopyalanamadı: CorvaneCore.dll - " + SharingViolationText();
    EXPECT_EQ(journal.Only(L"finished|"), (TLines{L"0|" + copyError}));
    const TSnap now = Snapshot(kInstall);
    for (const auto& rel : Names(Snapshot(kBackup)))
        if (rel != L"backup.info") {
            EXPECT_EQ(now.at(rel), original.at(rel)) << std::string(rel.begin(), rel.end());
        }
    EXPECT_EQ(now.count(L"masaustu\\yeni.js"), 0u);
    EXPECT_EQ(now.at(L"pos-config.json"), original.at(L"pos-config.json"));
    EXPECT_FALSE(FileExists(kBackup + L"\\guncelleme.suruyor")) << "one whole version again";

    // The lines of the failure, the restore and the end, in this order.
    const TLines logs = Logs();
    auto find = [&](const std::wstring& line, size_t from) {
        const auto it = std::find(logs.begin() + static_cast<long>(from), logs.end(), line);
        return static_cast<size_t>(it - logs.begin());
    };
    size_t at = find(L"!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!", 0);
    ASSERT_LT(at, logs.size()) << LogText();
    EXPECT_EQ(logs[at - 1], L"");
    EXPECT_EQ(logs[at + 1], L"Hata: " + copyError);
    EXPECT_EQ(logs[at + 2], kSep);
    EXPECT_EQ(logs[at + 3], L"ROLLBACK BASLATILIYOR");
    at = find(L"ROLLBACK TAMAMLANDI", at);
    ASSERT_LT(at + 4, logs.size()) << LogText();
    EXPECT_EQ(TLines(logs.begin() + static_cast<long>(at) + 1, logs.end()),
              (TLines{kSep, L"Sistem onceki surume basariyla geri yuklendi.", L"",
                      L"!!! HATA: " + copyError}));
}

TEST_F(AutomaticRollback, FullUpdateRolledBackWhileADesktopFileIsOpen) {
    MakeInstallation("1.0");
    original = Snapshot(kInstall);
    MakeSource();
    TLockedFile lock(kSource + L"\\CorvaneCore.dll");
    FullUpdate();
    host->FreeSpace = int64_t(1) << 40;
    // Once the backup is taken, a file of the installed masaustu is open, as in an Explorer
    // window: Windows then refuses to rename the folder.
    std::unique_ptr<TLockedFile> open;
    engine->SetOnProgress([&](int percent, const std::wstring& step) {
        if (percent == 10)
            open = std::make_unique<TLockedFile>(kInstall + L"\\masaustu\\assets\\app.js");
        journal.Add(L"progress|" + std::to_wstring(percent) + L"|" + step);
    });
    TRefusedMoves refused({kInstall + L"\\masaustu"});
    RunToEnd();
    ASSERT_TRUE(open && open->Locked());
    EXPECT_TRUE(Logged(L"Sistem onceki surume basariyla geri yuklendi.")) << LogText();
    EXPECT_TRUE(Logged(L"    ! app.js: " + SharingViolationText()));
    open.reset();
    const TSnap now = Snapshot(kInstall);
    for (const auto& rel : Names(Snapshot(kBackup)))
        if (rel != L"backup.info") {
            EXPECT_EQ(now.at(rel), original.at(rel)) << std::string(rel.begin(), rel.end());
        }
    EXPECT_EQ(now.count(L"masaustu\\yeni.js"), 0u);
}

TEST_F(AutomaticRollback, FileUpdateRestoreThatFailsTooStillEndsWithTheCopyError) {
    MakeInstallation("1.0");
    MakeSource();
    FileUpdate();
    host->FreeSpace = int64_t(1) << 40;
    // Once the backup is taken, the installed program is locked: the copy gives up after five
    // tries, and the restore cannot put the old one back either.
    std::unique_ptr<TLockedFile> lock;
    engine->SetOnProgress([&](int percent, const std::wstring& step) {
        if (percent == 30)
            lock = std::make_unique<TLockedFile>(kInstall + L"\\CorvaneZideroZUR.exe");
        journal.Add(L"progress|" + std::to_wstring(percent) + L"|" + step);
    });
    RunToEnd();
    ASSERT_TRUE(lock && lock->Locked());
    EXPECT_EQ(journal.Only(L"sleep|"), (TLines{L"2000", L"2000", L"4000", L"6000", L"8000"}))
        << "the stop wait, then the copy's four waits";
    const std::wstring why = SharingViolationText();
    const std::wstring copyError = L"CorvaneZideroZUR.exe kopyalanamadı (5 deneme): " + why;
    EXPECT_EQ(journal.Only(L"finished|"), (TLines{L"0|" + copyError}));
    const TLines logs = Logs();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(
        TLines(logs.end() - 3, logs.end()),
        (TLines{L"GERI YUKLEME DE BASARISIZ: Dosya geri yuklenemedi (CorvaneZideroZUR.exe): " + why,
                L"", L"!!! HATA: " + copyError}));
    EXPECT_TRUE(Logged(L"Hata: " + copyError));
    lock.reset();
    EXPECT_TRUE(FileExists(kBackup + L"\\CorvaneZideroZUR.exe")) << "the backup stays for later";
    EXPECT_TRUE(FileExists(kBackup + L"\\guncelleme.suruyor")) << "and is kept by the next update";
}

} // namespace
