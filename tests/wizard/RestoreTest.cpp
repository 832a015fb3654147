// Restore from the welcome page: the backup line and button, the question and the warnings, the
// page a confirmed restore shows and how it ends, which installation's backup is restored, and
// the restore thread against a window that closes or is clicked twice.
#include "WizardTestSupport.h"

#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

const std::wstring kD = L"D:\\CorvaneZideroZur";
const std::wstring kE = L"E:\\CorvaneZideroZur";
const std::wstring kDBackup = L"D:\\CorvaneUpdateYedek";
const std::wstring kEBackup = L"E:\\CorvaneUpdateYedek";

// A backup as an update leaves it: the till program and backup.info.
void MakeBackup(const std::wstring& dir, const std::string& date, const std::string& size) {
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    WriteFileBytes(dir + L"\\CorvaneZideroZUR.exe", "MZ previous");
    WriteFileBytes(dir + L"\\backup.info",
                   "\xEF\xBB\xBFTARIH=" + date +
                       "\r\nMOD=DosyaGuncelleme\r\nINSTALL_DIR=X\r\nBOYUT=" + size + "\r\n");
}

int ProgressPos(HWND bar) {
    return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
}

// A click that does not care whether the button can be seen: what a second click or a message
// sent to the hidden button does.
void RawClick(HWND button) {
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

} // namespace

class RestoreTest : public TWizardTest {
protected:
    void SetUp() override {
        for (const auto& dir : {kD, kE, kDBackup, kEBackup})
            RemoveTree(dir);
        Sys.Drives[L'E'] = DRIVE_FIXED;
    }
    void TearDown() override {
        TWizardTest::TearDown();
        for (const auto& dir : {kD, kE, kDBackup, kEBackup})
            RemoveTree(dir);
    }
    // The window's engine records its host calls here, which outlive the engine, and stops at
    // its first one until released.
    void RecordAndHold() {
        Sys.ConfigureHost = [this](TScriptedHost& host) {
            if (Sys.Hosts.size() != 1)
                return;
            host.OnCall = [this](const std::wstring& call) {
                {
                    std::lock_guard<std::mutex> lock(FCallsLock);
                    FCalls.push_back(call);
                }
                FGate.Hold();
            };
        };
    }
    std::vector<std::wstring> Calls() {
        std::lock_guard<std::mutex> lock(FCallsLock);
        return FCalls;
    }
    bool Called(const std::wstring& call) {
        const auto calls = Calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    bool OnWelcomePageUnchanged() {
        return Shown(C(L"tsWelcome")) && !Shown(C(L"tsInstall")) && Shown(C(L"btnGeriYukle")) &&
               Enabled(C(L"btnGeriYukle")) && Shown(C(L"btnNext")) &&
               Text(C(L"lblInstallTitle")) == L"Kuruluyor..." && Text(C(L"memoLog")).empty();
    }
    bool Finished() { return Shown(C(L"tsFinish")); }
    bool Failed() { return Text(C(L"lblInstallTitle")) == L"Hata Oluştu!"; }

    TRunGate FGate;
    std::mutex FCallsLock;
    std::vector<std::wstring> FCalls;
};

TEST_F(RestoreTest, NoInstallationFoundHidesLineAndButton) {
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272"); // a backup alone is no installation
    Sys.InstallLocation = L"F:\\CorvaneZideroZur";           // recorded, but not there
    ASSERT_TRUE(Open());
    EXPECT_FALSE(Shown(C(L"lblYedekBilgi")));
    EXPECT_FALSE(Shown(C(L"btnGeriYukle")));
}

TEST_F(RestoreTest, InstallationWithoutBackupShowsGreyLineAndDisabledButton) {
    TTempDir install(kD);
    ASSERT_TRUE(Open());
    EXPECT_TRUE(Shown(C(L"lblYedekBilgi")));
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek bulunamadi");
    EXPECT_EQ(Form->TextColor(L"lblYedekBilgi"), RGB(0x80, 0x80, 0x80));
    EXPECT_TRUE(Shown(C(L"btnGeriYukle")));
    EXPECT_FALSE(Enabled(C(L"btnGeriYukle")));
}

TEST_F(RestoreTest, BackupShowsDateAndWholeMegabytesInGreenWithTheButtonEnabled) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek mevcut: 2026-05-17 00:06:04 (30 MB)");
    EXPECT_EQ(Form->TextColor(L"lblYedekBilgi"), RGB(0x20, 0x80, 0x20));
    EXPECT_TRUE(Shown(C(L"lblYedekBilgi")));
    EXPECT_TRUE(Shown(C(L"btnGeriYukle")));
    EXPECT_TRUE(Enabled(C(L"btnGeriYukle")));
    // The probe engine is not the window's: the window's engine keeps the settings page's folder.
    EXPECT_EQ(Sys.Engine().InstallDir(), kD);
    EXPECT_FALSE(Shown(C(L"lblYarimGuncelleme")));
}

TEST_F(RestoreTest, BackupOfAnInterruptedUpdateSaysSoUnderTheBackupLine) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    WriteFileBytes(kDBackup + L"\\guncelleme.suruyor", "x");
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek mevcut: 2026-05-17 00:06:04 (30 MB)");
    EXPECT_TRUE(Shown(C(L"lblYarimGuncelleme")));
    EXPECT_EQ(Text(C(L"lblYarimGuncelleme")).rfind(L"! Son guncelleme yarida kaldi.", 0), 0u);
    EXPECT_TRUE(Enabled(C(L"btnGeriYukle")));
}

TEST_F(RestoreTest, BackupUnderOneMegabyteShowsZero) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "1048575");
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek mevcut: 2026-05-17 00:06:04 (0 MB)");
}

TEST_F(RestoreTest, QuestionTextExactlyAndNoChangesNothing) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    RecordAndHold();
    ASSERT_TRUE(Open());
    Sys.Answers = {IDNO};
    Click(C(L"btnGeriYukle"));
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Text, L"GERI YUKLEME ONAYI\r\n"
                                 L"\r\n"
                                 L"Bu islem mevcut surumu silip onceki surume geri donecek.\r\n"
                                 L"\r\n"
                                 L"Yedek tarihi: 2026-05-17 00:06:04\r\n"
                                 L"Yedek boyutu: 30 MB\r\n"
                                 L"Yedek konumu: D:\\CorvaneUpdateYedek\r\n"
                                 L"\r\n"
                                 L"DIKKAT:\r\n"
                                 L"- Bu islem geri alinamaz.\r\n"
                                 L"- Veritabani (CorvaneDB) ve satis verileri etkilenmeyecek.\r\n"
                                 L"- CorvaneZideroZUR calisiyorsa kapatilacak.\r\n"
                                 L"\r\n"
                                 L"Devam edilsin mi?");
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONQUESTION | MB_YESNO));
    EXPECT_EQ(Sys.Boxes[0].Owner, Form->Handle());
    PumpFor(200);
    EXPECT_TRUE(OnWelcomePageUnchanged());
    EXPECT_TRUE(Calls().empty()) << "the engine was used";
    // Not on its way out either: the window closes without a question.
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WindowGone());
    EXPECT_EQ(Sys.Boxes.size(), 1u);
}

TEST_F(RestoreTest, BackupGoneByTheClickWarnsAndStaysOnTheWelcomePage) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    ASSERT_TRUE(Open());
    ASSERT_TRUE(DeleteFileW((kDBackup + L"\\backup.info").c_str()));
    Click(C(L"btnGeriYukle"));
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_EQ(Sys.Boxes[0].Text, L"Geri yuklenecek yedek bulunamadi.");
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONWARNING | MB_OK));
    EXPECT_TRUE(OnWelcomePageUnchanged());
    // The button may be pressed again.
    Click(C(L"btnGeriYukle"));
    EXPECT_EQ(Sys.Boxes.size(), 2u);
}

TEST_F(RestoreTest, UnreadableBackupInfoWarnsAndStaysOnTheWelcomePage) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    ASSERT_TRUE(Open());
    // Held open without sharing: it exists, but cannot be read.
    HANDLE lock = CreateFileW((kDBackup + L"\\backup.info").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Click(C(L"btnGeriYukle"));
    CloseHandle(lock);
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    // A backup.info that cannot be read cannot be shown to be complete: no backup to restore.
    EXPECT_EQ(Sys.Boxes[0].Text, L"Geri yuklenecek yedek bulunamadi.");
    EXPECT_EQ(Sys.Boxes[0].Type, UINT(MB_ICONWARNING | MB_OK));
    EXPECT_TRUE(OnWelcomePageUnchanged());
}

TEST_F(RestoreTest, ConfirmedRestoreShowsTheRestorePageThenEndsOnTheFinishPage) {
    // Also from an update file: the restore's own texts win.
    Sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-2.0.exe";
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    RecordAndHold();
    ASSERT_TRUE(Open());
    Sys.Answers = {IDYES};
    Click(C(L"btnGeriYukle"));
    // Before the UI thread has looked at anything the restore thread reported.
    EXPECT_TRUE(Shown(C(L"tsInstall")));
    EXPECT_FALSE(Shown(C(L"tsWelcome")));
    EXPECT_EQ(Text(C(L"lblInstallTitle")), L"Geri Yukleme");
    EXPECT_EQ(Text(C(L"lblCurrentStep")), L"Hazirlaniyor...");
    EXPECT_TRUE(Text(C(L"memoLog")).empty());
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 0);
    EXPECT_FALSE(Shown(C(L"btnBack")));
    EXPECT_FALSE(Shown(C(L"btnNext")));
    EXPECT_FALSE(Shown(C(L"btnCancel")));
    EXPECT_EQ(Form->FillColor(L"shpStep0"), RGB(0x80, 0xFF, 0x80));
    EXPECT_EQ(Form->FillColor(L"shpStep1"), RGB(0x80, 0xFF, 0x80));
    EXPECT_EQ(Form->FillColor(L"shpStep2"), RGB(0xFF, 0xFF, 0xFF));
    ASSERT_TRUE(FGate.WaitHeld());

    // A second click while it runs starts nothing.
    RawClick(C(L"btnGeriYukle"));
    EXPECT_EQ(Sys.Boxes.size(), 1u);

    FGate.Release();
    ASSERT_TRUE(PumpUntil([&] { return Finished() || Failed(); }));
    ASSERT_TRUE(Finished()) << testing::PrintToString(Text(C(L"lblCurrentStep")));
    EXPECT_EQ(Text(C(L"lblFinishTitle")), L"Geri Yükleme Tamamlandı!");
    EXPECT_EQ(Text(C(L"lblFinishDesc")),
              L"Corvane Market Pos onceki sürüme başarıyla geri yüklendi.\r\n\r\n"
              L"Veritabani ve satış verileriniz korundu.");
    const std::vector<std::wstring> lines = MemoLines(C(L"memoLog"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), L"Geri Yukleme baslatiliyor...");
    EXPECT_EQ(lines.back(), L"Onceki surume basariyla donuldu.");
    EXPECT_EQ(ProgressPos(C(L"pbProgress")), 100);
    EXPECT_TRUE(Called(L"CopyOneFile D:\\CorvaneUpdateYedek\\CorvaneZideroZUR.exe"));
    EXPECT_EQ(Sys.Boxes.size(), 1u);
    // Once only, also after it has ended.
    RawClick(C(L"btnGeriYukle"));
    EXPECT_EQ(Sys.Boxes.size(), 1u);
}

TEST_F(RestoreTest, InstallationOnERestoresEsBackupWhileTheSettingsPagePreselectsD) {
    TTempDir install(kE);
    MakeBackup(kEBackup, "2026-05-10 22:49:05", "2097152");
    MakeBackup(kDBackup, "2026-01-01 00:00:00", "1048576"); // no installation on D
    RecordAndHold();
    ASSERT_TRUE(Open());
    ASSERT_EQ(Sys.Engine().InstallDir(), kD) << "the settings page preselects D";
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek mevcut: 2026-05-10 22:49:05 (2 MB)");
    Sys.Answers = {IDYES};
    Click(C(L"btnGeriYukle"));
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    EXPECT_NE(Sys.Boxes[0].Text.find(L"Yedek konumu: E:\\CorvaneUpdateYedek\r\n"),
              std::wstring::npos);
    FGate.Release();
    ASSERT_TRUE(PumpUntil([&] { return Finished() || Failed(); }));
    ASSERT_TRUE(Finished()) << testing::PrintToString(Text(C(L"lblCurrentStep")));
    EXPECT_TRUE(Called(L"CopyOneFile E:\\CorvaneUpdateYedek\\CorvaneZideroZUR.exe"));
    EXPECT_FALSE(Called(L"CopyOneFile D:\\CorvaneUpdateYedek\\CorvaneZideroZUR.exe"));
}

TEST_F(RestoreTest, RecordedInstallLocationWinsOverTheLastDrive) {
    TTempDir onD(kD);
    TTempDir onE(kE);
    MakeBackup(kDBackup, "2026-05-10 22:49:05", "0");
    Sys.InstallLocation = kD + L"\\";
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(C(L"lblYedekBilgi")), L"Yedek mevcut: 2026-05-10 22:49:05 (0 MB)");
}

TEST_F(RestoreTest, AnswerNoPutsTheSettingsPagesFolderBack) {
    TTempDir install(kE);
    MakeBackup(kEBackup, "2026-05-10 22:49:05", "0");
    ASSERT_TRUE(Open());
    Sys.Answers = {IDNO};
    Click(C(L"btnGeriYukle"));
    ASSERT_EQ(Sys.Boxes.size(), 1u);
    // "Kur" after a declined restore installs where the drive list says.
    EXPECT_EQ(Sys.Engine().InstallDir(), kD);
}

TEST_F(RestoreTest, WindowDestroyedDuringARestoreLetsItFinishFirst) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    RecordAndHold();
    ASSERT_TRUE(Open());
    Sys.Answers = {IDYES};
    Click(C(L"btnGeriYukle"));
    ASSERT_TRUE(FGate.WaitHeld());
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        FGate.Release();
    });
    Form.reset(); // from outside, past the close guard
    later.join();
    // The restore ran to its end before the engine went, and reported into nothing.
    EXPECT_TRUE(Called(L"CopyOneFile D:\\CorvaneUpdateYedek\\CorvaneZideroZUR.exe"));
    PumpFor(100);
}

TEST_F(RestoreTest, CloseConfirmedDuringARestoreClosesWhenItHasEnded) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    RecordAndHold();
    ASSERT_TRUE(Open());
    Sys.Answers = {IDYES, IDYES};
    Click(C(L"btnGeriYukle"));
    ASSERT_TRUE(FGate.WaitHeld());
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    ASSERT_EQ(Sys.Boxes.size(), 2u);
    EXPECT_EQ(Sys.Boxes[1].Text, L"Kurulum devam ediyor! İptal edilsin mi?");
    EXPECT_FALSE(WindowGone()) << "the window waits for the restore";
    FGate.Release();
    ASSERT_TRUE(PumpUntil([&] { return WindowGone(); }, 20000));
    // A restore is not cancelled: it was carried out.
    EXPECT_TRUE(Called(L"CopyOneFile D:\\CorvaneUpdateYedek\\CorvaneZideroZUR.exe"));
}

// Another program posts WM_CLOSE while a box of the restore click is open (the box's own loop
// delivers it). The click must finish on the engine it started with; the window then closes,
// without a question (nothing runs), and frees that engine once.
TEST_F(RestoreTest, CloseRequestDuringEachBoxOfTheClickClosesAfterIt) {
    enum TCase { NoBackup, UnreadableInfo, Question, NoInstallation };
    for (TCase box : {NoBackup, UnreadableInfo, Question, NoInstallation}) {
        SCOPED_TRACE(int(box));
        TTempDir install(kD);
        MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
        int freed = 0;
        bool inBox = false, freedInBox = false;
        Sys.ConfigureHost = [&, this](TScriptedHost& host) {
            if (Sys.Hosts.size() == 1) // the window's engine, not the welcome page's probe
                host.OnFreed = [&] {
                    ++freed;
                    freedInBox = freedInBox || inBox;
                };
        };
        ASSERT_TRUE(Open());
        HANDLE lock = INVALID_HANDLE_VALUE;
        if (box == NoBackup) {
            ASSERT_TRUE(DeleteFileW((kDBackup + L"\\backup.info").c_str()));
        }
        if (box == UnreadableInfo)
            lock = CreateFileW((kDBackup + L"\\backup.info").c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (box == NoInstallation) {
            RemoveTree(kD);
            MakeBackup(L"C:\\CorvaneUpdateYedek", "2026-05-17 00:06:04", "0");
        }
        Sys.Answers = {IDYES, IDYES};
        Sys.WhileMessageBox = [&, this] {
            if (Sys.Boxes.size() != (box == NoInstallation ? 2u : 1u))
                return;
            inBox = true;
            PostMessageW(Form->Handle(), WM_CLOSE, 0, 0);
            PumpFor(50);
            inBox = false;
        };
        Click(C(L"btnGeriYukle"));
        if (lock != INVALID_HANDLE_VALUE)
            CloseHandle(lock);
        PumpFor(50);
        EXPECT_TRUE(WindowGone());
        for (const TMessageBoxCall& b : Sys.Boxes)
            EXPECT_NE(b.Text, L"Kurulum devam ediyor! İptal edilsin mi?");
        EXPECT_EQ(Sys.Boxes.size(), box == NoInstallation ? 2u : 1u);
        EXPECT_EQ(freed, 1);
        EXPECT_FALSE(freedInBox) << "the engine went while the click still used it";
        Form.reset();
        EXPECT_EQ(freed, 1);
        Sys.WhileMessageBox = nullptr;
        Sys.ConfigureHost = nullptr;
        Sys.Boxes.clear();
        Sys.Hosts.clear();
        Sys.Engines.clear();
        RemoveTree(L"C:\\CorvaneUpdateYedek");
        RemoveTree(kDBackup);
    }
}

// Close requests keep coming while the close question of a running restore is open: one
// question, never one inside the other.
TEST_F(RestoreTest, CloseQuestionIsNeverAskedTwiceAtOnce) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    RecordAndHold();
    ASSERT_TRUE(Open());
    Sys.Answers = {IDYES, IDNO, IDNO};
    Click(C(L"btnGeriYukle"));
    ASSERT_TRUE(FGate.WaitHeld());
    Sys.WhileMessageBox = [this] {
        if (Sys.Boxes.size() > 4)
            return; // enough to show nesting without recursing for ever
        PostMessageW(Form->Handle(), WM_CLOSE, 0, 0);
        PumpFor(50);
    };
    SendMessageW(Form->Handle(), WM_CLOSE, 0, 0);
    Sys.WhileMessageBox = nullptr;
    ASSERT_EQ(Sys.Boxes.size(), 2u);
    EXPECT_EQ(Sys.Boxes[1].Text, L"Kurulum devam ediyor! İptal edilsin mi?");
    EXPECT_FALSE(WindowGone());
    FGate.Release();
    ASSERT_TRUE(PumpUntil([&] { return Finished(); }, 20000));
}

TEST_F(RestoreTest, InstallationGoneByTheAnswerWarnsAndStaysOnTheWelcomePage) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    ASSERT_TRUE(Open());
    // Without an installation the engine's backup folder is the one on C.
    RemoveTree(kD);
    TTempDir onC(L"C:\\CorvaneUpdateYedek");
    MakeBackup(onC.Path(), "2026-05-17 00:06:04", "0");
    Sys.Answers = {IDYES};
    Click(C(L"btnGeriYukle"));
    ASSERT_EQ(Sys.Boxes.size(), 2u);
    EXPECT_EQ(Sys.Boxes[1].Text, L"Kurulu CorvaneZideroZUR bulunamadi.");
    EXPECT_EQ(Sys.Boxes[1].Type, UINT(MB_ICONWARNING | MB_OK));
    EXPECT_TRUE(OnWelcomePageUnchanged());
    EXPECT_EQ(Sys.Engine().InstallDir(), kD) << "the settings page's folder is back";
}

TEST_F(RestoreTest, FailedRestoreShowsTheFailureStateWithTheEnginesMessage) {
    TTempDir install(kD);
    MakeBackup(kDBackup, "2026-05-17 00:06:04", "32182272");
    Sys.ConfigureHost = [this](TScriptedHost& host) {
        if (Sys.Hosts.size() == 1)
            host.OnCall = [](const std::wstring& call) {
                if (call.rfind(L"CopyOneFile ", 0) == 0)
                    throw ESetupError(L"Erişim engellendi.");
            };
    };
    ASSERT_TRUE(Open());
    Sys.Answers = {IDYES};
    Click(C(L"btnGeriYukle"));
    ASSERT_TRUE(PumpUntil([&] { return Finished() || Failed(); }));
    ASSERT_TRUE(Failed());
    const std::wstring error = L"Dosya geri yuklenemedi (CorvaneZideroZUR.exe): Erişim engellendi.";
    EXPECT_EQ(Text(C(L"lblCurrentStep")), error);
    EXPECT_EQ(MemoLines(C(L"memoLog")).back(), L"ROLLBACK HATASI: " + error);
    EXPECT_EQ(Text(C(L"btnNext")), L"Kapat");
    Click(C(L"btnNext"));
    EXPECT_TRUE(WindowGone());
}
