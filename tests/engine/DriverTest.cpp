// The setup driver against a scripted host and scripted steps: the exact order of progress
// reports, log lines, commands with their time-outs and sleeps of every mode; cancellation;
// the automatic rollback; the single final report; destruction during a run.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "FakeSteps.h"
#include "Journal.h"
#include "ScriptedHost.h"
#include "TestFiles.h"
#include "uWin32Seam.h"

using namespace std::chrono_literals;
using TLines = std::vector<std::wstring>;

namespace {

const std::wstring SEP = L"log|========================================";
const wchar_t* kUpd = L"CorvaneMarketUpdate-1.2.exe";
const wchar_t* kFile = L"CorvaneMarketDosyaUpdate-1.2.exe";
const wchar_t* kNew = L"CorvaneMarketSetup.exe";
// A folder no test creates: the service program the driver looks for at the end is not there.
const std::wstring kNoInstall = L"D:\\surucu-testi\\CorvaneZideroZur";
const std::wstring CANCELLED = L"Kullanıcı tarafından iptal edildi";

TLines Header(const std::wstring& target, const std::wstring& modeLine) {
    return {SEP, L"log|Corvane Market Pos Kurulum", L"log|Hedef: " + target, L"log|" + modeLine, SEP,
            L"log|"};
}

TLines Closing(const std::wstring& caption, const std::wstring& banner) {
    return {L"progress|100|" + caption, L"log|", SEP, L"log|" + banner, SEP, L"finished|1|"};
}

TLines Join(std::initializer_list<TLines> parts) {
    TLines all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::wstring TempFolder(const std::wstring& name) {
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, tmp);
    std::wstring dir = std::wstring(tmp) + L"corvane-driver-" + name + L"-" +
                       std::to_wstring(GetCurrentProcessId());
    RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void WriteFile(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

// What the service manager answers about CorvaneMarketService: 0 registered, or the error.
DWORD& ServiceAnswer() {
    static DWORD answer = 0;
    return answer;
}

SC_HANDLE WINAPI AnswerOpenService(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    if (_wcsicmp(name, L"CorvaneMarketService") != 0)
        return OpenServiceW(manager, name, access);
    if (ServiceAnswer() != 0) {
        SetLastError(ServiceAnswer());
        return nullptr;
    }
    // Any service Wine always has stands in for a registered one.
    for (const wchar_t* present : {L"RpcSs", L"PlugPlay", L"MountMgr"})
        if (SC_HANDLE h = OpenServiceW(manager, present, access))
            return h;
    return nullptr;
}

// One engine on a scripted host, its events bound to a journal.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceAnswer() = 0;
        vpfnOpenServiceW = AnswerOpenService;
        ResetStepHooks();
        auto host = std::make_unique<TScriptedHost>(journal);
        fHost = host.get();
        engine = std::make_unique<TSetupEngine>(std::move(host));
        BindEvents(*engine, journal);
        engine->SetInstallDir(kNoInstall);
    }
    void TearDown() override {
        engine.reset();
        ResetStepHooks();
        ResetWin32Seam();
    }
    TScriptedHost& host() { return *fHost; }

    // Runs to the end on the engine's worker and waits (bounded) for its final report.
    void RunToEnd() {
        ASSERT_TRUE(engine->Execute());
        ASSERT_TRUE(journal.WaitFor(L"finished|", 20s)) << "no final report";
        engine.reset(); // joins the worker: nothing can be added after this
    }
    void PoseAs(const std::wstring& exeName) {
        host().ExeFile = L"C:\\indirilenler\\" + exeName;
        engine->DetectExistingInstall();
    }
    void CancelIn(const char* step) {
        StepHooks()[step] = [](TSetupEngine& e) { e.Cancel(); };
    }
    void FailIn(const char* step, const std::wstring& msg) {
        StepHooks()[step] = [msg](TSetupEngine&) { throw ESetupError(msg); };
    }
    bool Logged(const std::wstring& line) {
        for (const auto& l : journal.Only(L"log|"))
            if (l == line)
                return true;
        return false;
    }

    TJournal journal;
    std::unique_ptr<TSetupEngine> engine;

private:
    TScriptedHost* fHost = nullptr;
};

const TLines kStopProcesses = {
    L"log|[1/14] İşlemler durduruluyor...",
    L"cmd|taskkill /F /IM CorvaneZideroZUR.exe|3000",
    L"cmd|taskkill /F /IM TarvikBridge.exe|3000",
    L"cmd|taskkill /F /IM OmnelBridge.exe|3000",
    L"sleep|2000",
    L"cmd|net stop CorvaneMarketService|10000",
    L"sleep|1000",
    L"cmd|taskkill /F /IM CorvaneMarketServer.exe|5000",
    L"sleep|2000",
    L"log|  OK",
};

// ---------------------------------------------------------------------------------------------
// New installation

TEST_F(DriverTest, NewInstallationWithDefaultSwitchesRunsEveryStepInOrder) {
    RunToEnd();
    EXPECT_EQ(journal.Entries(),
              Join({Header(kNoInstall, L"Mod: YENI KURULUM"),
                    {L"progress|2|İslemler durduruluyor..."},
                    kStopProcesses,
                    {L"progress|5|Dosyalar kopyalanıyor...", L"log|[2/14] Dosyalar kopyalanıyor...",
                     L"progress|30|Klasörler oluşturuluyor...",
                     L"log|[3/14] Klasörler oluşturuluyor...",
                     L"progress|34|MariaDB yapılandırılıyor...", L"log|[4/14] my.ini...",
                     L"log|[5/14] Config dosyaları...", L"progress|40|MariaDB başlatılıyor...",
                     L"log|[6/14] MariaDB init...", L"progress|50|CorvaneDB servisi kuruluyor...",
                     L"log|[7/14] CorvaneDB servisi...",
                     L"progress|60|Güvenlik duvarı ayarlanıyor...", L"log|[8/14] Firewall...",
                     L"progress|80|Uzak erişim ayarlanıyor...", L"log|[11/14] Uzak erişim...",
                     L"progress|86|CorvaneMarketService kuruluyor...",
                     L"log|[12/14] CorvaneMarketService...",
                     L"progress|92|Kısayollar oluşturuluyor...", L"log|[13/14] Kısayollar...",
                     L"progress|96|Kayıt defteri...",
                     L"log|[14/14] Program Ekle/Kaldır kaydı..."},
                    Closing(L"Tamamlandı!", L"KURULUM BAŞARIYLA TAMAMLANDI")}));
}

TEST_F(DriverTest, NewInstallationSwitchesDecideTheOptionalSteps) {
    engine->SetOptFirewall(false);
    engine->SetOptRemoteAccess(false);
    engine->SetOptCorvaneSync(false);
    engine->SetOptDesktopShortcut(false);
    RunToEnd();
    TLines percents;
    for (const auto& p : journal.Only(L"progress|"))
        percents.push_back(p.substr(0, p.find(L'|')));
    EXPECT_EQ(percents, (TLines{L"2", L"5", L"30", L"34", L"40", L"50", L"96", L"100"}));
    EXPECT_FALSE(Logged(L"[8/14] Firewall..."));
    EXPECT_FALSE(Logged(L"[13/14] Kısayollar..."));
}

TEST_F(DriverTest, NewInstallationWithDemoDataLoadsItBetweenFirewallAndRemoteAccess) {
    engine->SetOptDemoData(true);
    RunToEnd();
    const TLines p = journal.Only(L"progress|");
    const auto at = std::find(p.begin(), p.end(), L"74|Demo veriler yükleniyor...");
    ASSERT_NE(at, p.end());
    EXPECT_EQ(*(at - 1), L"60|Güvenlik duvarı ayarlanıyor...");
    EXPECT_EQ(*(at + 1), L"80|Uzak erişim ayarlanıyor...");
    EXPECT_TRUE(Logged(L"[10/14] Demo veriler..."));
}

TEST_F(DriverTest, NewInstallationCopyFailureIsNotRolledBack) {
    FailIn("CopyFiles", L"Erişim engellendi.");
    RunToEnd();
    EXPECT_FALSE(Logged(L"!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!"));
    EXPECT_FALSE(Logged(L"ROLLBACK BASLATILIYOR"));
    const TLines all = journal.Entries();
    EXPECT_EQ(TLines(all.end() - 3, all.end()), (TLines{L"log|", L"log|!!! HATA: Erişim engellendi.",
                            L"finished|0|Erişim engellendi."}));
}

// ---------------------------------------------------------------------------------------------
// Full update

const TLines kFullUpdateStop = {
    L"progress|5|İslemler durduruluyor...",
    L"log|[TAM GÜNCELLEME] Servis ve işlemler durduruluyor...",
    L"stopsvc|CorvaneMarketService|30",
    L"cmd|taskkill /F /IM CorvaneMarketServer.exe|3000",
    L"cmd|taskkill /F /IM CorvaneZideroZUR.exe|3000",
    L"cmd|taskkill /F /IM TarvikBridge.exe|3000",
    L"cmd|taskkill /F /IM OmnelBridge.exe|3000",
    L"waitexit|CorvaneMarketServer.exe|15",
    L"sleep|2000",
    L"log|  Tüm işlemler durduruldu",
};

TEST_F(DriverTest, FullUpdateStopsBacksUpCopiesReinstallsTheServiceAndRefreshesTheShortcut) {
    const std::wstring dir = TempFolder(L"full");
    CreateDirectoryW((dir + L"\\CorvaneMarketServis").c_str(), nullptr);
    WriteFile(dir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe");
    engine->SetInstallDir(dir);
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    RunToEnd();
    EXPECT_EQ(journal.Entries(),
              Join({Header(dir, L"Mod: TAM GUNCELLEME"),
                    {L"progress|2|On kontrol yapiliyor...", L"log|[0/14] On kontrol yapiliyor..."},
                    kFullUpdateStop,
                    {L"progress|8|Yedek olusturuluyor...", L"log|[1.5/14] Yedek olusturuluyor...",
                     L"progress|10|Dosyalar kopyalanıyor...", L"log|[2/14] Dosyalar kopyalanıyor...",
                     L"progress|65|Servis yeniden kuruluyor...",
                     L"log|[TAM GÜNCELLEME] Servis yeniden kuruluyor...",
                     L"delsvc|CorvaneMarketService|15", L"sleep|2000",
                     L"log|  Yeni servis kuruluyor...",
                     L"exe|" + dir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe|/install|15000",
                     L"sleep|3000", L"log|  Servis başlatılıyor...",
                     L"cmd|net start CorvaneMarketService|15000", L"sleep|2000",
                     L"log|  Servis OK", L"progress|85|Kısayollar güncelleniyor...",
                     L"log|[13/14] Kısayollar..."},
                    Closing(L"Güncelleme tamamlandı!", L"TAM GÜNCELLEME BAŞARIYLA TAMAMLANDI")}));
    RemoveTree(dir);
}

TEST_F(DriverTest, FullUpdateWithoutServiceProgramSkipsTheReinstall) {
    const std::wstring dir = TempFolder(L"noservice");
    engine->SetInstallDir(dir);
    engine->SetOptDesktopShortcut(false);
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    RunToEnd();
    for (const auto& p : journal.Only(L"progress|"))
        EXPECT_EQ(p.rfind(L"65|", 0), std::wstring::npos) << p;
    EXPECT_EQ(journal.Count(L"delsvc|"), 0);
    EXPECT_EQ(journal.Count(L"progress|85|"), 0);
    EXPECT_EQ(journal.Entries().back(), L"finished|1|");
    RemoveTree(dir);
}

TEST_F(DriverTest, FullUpdateFallsBackToTaskkillAndWarnsWhenTheOldServiceStays) {
    const std::wstring dir = TempFolder(L"fallback");
    CreateDirectoryW((dir + L"\\CorvaneMarketServis").c_str(), nullptr);
    WriteFile(dir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe");
    engine->SetInstallDir(dir);
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    host().StopServiceResult = false;
    host().WaitProcessResult = false;
    host().ProcessRunningResult = false;
    host().DeleteServiceResult = false;
    RunToEnd();
    const TLines all = journal.Entries();
    const TLines expectedStop = {
        L"stopsvc|CorvaneMarketService|30",
        L"log|  Servis API ile durmadı, taskkill deneniyor...",
        L"cmd|taskkill /F /IM CorvaneMarketServer.exe|5000",
        L"sleep|3000",
        L"cmd|taskkill /F /IM CorvaneMarketServer.exe|3000",
        L"cmd|taskkill /F /IM CorvaneZideroZUR.exe|3000",
        L"cmd|taskkill /F /IM TarvikBridge.exe|3000",
        L"cmd|taskkill /F /IM OmnelBridge.exe|3000",
        L"waitexit|CorvaneMarketServer.exe|15",
        L"log|  ! Son deneme: force kill",
        L"cmd|taskkill /F /IM CorvaneMarketServer.exe|5000",
        L"sleep|3000",
        L"running?|CorvaneMarketServer.exe",
        L"sleep|2000",
        L"log|  Tüm işlemler durduruldu",
    };
    const auto at = std::search(all.begin(), all.end(), expectedStop.begin(), expectedStop.end());
    EXPECT_NE(at, all.end()) << "stop sequence with both fall-backs not found";
    const TLines expectedReinstall = {L"delsvc|CorvaneMarketService|15",
                                      L"log|  ! Eski servis silinemedi, yeni kurulum denenecek...",
                                      L"sleep|2000", L"log|  Yeni servis kuruluyor..."};
    EXPECT_NE(std::search(all.begin(), all.end(), expectedReinstall.begin(),
                          expectedReinstall.end()),
              all.end());
    EXPECT_EQ(all.back(), L"finished|1|");
    RemoveTree(dir);
}

TEST_F(DriverTest, FullUpdateFailsBeforeTheBackupWhenTheServerSurvivesTheLastKill) {
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    host().WaitProcessResult = false;
    host().ProcessRunningResult = true;
    RunToEnd();
    const std::wstring msg = L"CorvaneMarketServer.exe kapatılamadı! Lütfen manuel kapatın.";
    EXPECT_FALSE(Logged(L"[1.5/14] Yedek olusturuluyor..."));
    EXPECT_FALSE(Logged(L"  Tüm işlemler durduruldu"));
    const TLines all = journal.Entries();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(TLines(all.end() - 4, all.end()),
              (TLines{L"running?|CorvaneMarketServer.exe", L"log|", L"log|!!! HATA: " + msg,
                      L"finished|0|" + msg}));
}

// ---------------------------------------------------------------------------------------------
// Automatic rollback

TEST_F(DriverTest, CopyFailureInAFullUpdateIsRolledBackAndStillReportedAsTheCopyError) {
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    const std::wstring copyError = L"Kritik dosya kopyalanamadı: Setup.DLL - erişim engellendi";
    FailIn("CopyFiles", copyError);
    StepHooks()["RestoreBackup"] = [](TSetupEngine& e) {
        TSetupEngineTestAccess::Log(e, L"  [geri] CorvaneZideroZUR.exe");
    };
    RunToEnd();
    const TLines all = journal.Entries();
    const TLines expected = {L"log|[2/14] Dosyalar kopyalanıyor...",
                             L"log|",
                             L"log|!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!",
                             L"log|Hata: " + copyError,
                             L"log|ROLLBACK BASLATILIYOR",
                             L"log|  [geri] CorvaneZideroZUR.exe",
                             L"log|Sistem onceki surume basariyla geri yuklendi.",
                             L"log|",
                             L"log|!!! HATA: " + copyError,
                             L"finished|0|" + copyError};
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(TLines(all.end() - expected.size(), all.end()), expected);
    EXPECT_EQ(journal.Result(), TRunResult::RolledBack);
}

TEST_F(DriverTest, FailedRestoreIsLoggedAndTheRunEndsWithTheCopyError) {
    PoseAs(L"CorvaneMarketDosyaUpdate-1.2.exe");
    FailIn("CopyFiles", L"kopya hatasi");
    FailIn("RestoreBackup", L"Yedek klasoru bulunamadi: D:\\CorvaneUpdateYedek");
    RunToEnd();
    const TLines all = journal.Entries();
    const TLines expected = {
        L"log|",
        L"log|!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!",
        L"log|Hata: kopya hatasi",
        L"log|ROLLBACK BASLATILIYOR",
        L"log|GERI YUKLEME DE BASARISIZ: Yedek klasoru bulunamadi: D:\\CorvaneUpdateYedek",
        L"log|",
        L"log|!!! HATA: kopya hatasi",
        L"finished|0|kopya hatasi"};
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(TLines(all.end() - expected.size(), all.end()), expected);
    EXPECT_FALSE(Logged(L"Sistem onceki surume basariyla geri yuklendi."));
    EXPECT_EQ(journal.Result(), TRunResult::RollbackFailed);
}

TEST_F(DriverTest, FailureOutsideTheCopyIsNeverRolledBack) {
    PoseAs(L"CorvaneMarketUpdate-1.2.exe");
    FailIn("CreateBackup", L"Yedek alinamadi");
    RunToEnd();
    EXPECT_FALSE(Logged(L"ROLLBACK BASLATILIYOR"));
    EXPECT_FALSE(Logged(L"[2/14] Dosyalar kopyalanıyor..."));
    EXPECT_EQ(journal.Entries().back(), L"finished|0|Yedek alinamadi");
}

// ---------------------------------------------------------------------------------------------
// The service program without its service (a run cut off after the old service was deleted)

TEST_F(DriverTest, ServiceThisProgramDeletedIsRegisteredAgainAndStartedOnlyByAnUpdate) {
    struct Case {
        const wchar_t* exe;
        bool marked;    // the full update that deleted the service was cut off
        DWORD presence; // what the service manager answers: 0 registered, or the error
        bool installWorks;
        const char *failCopy, *failRestore;
    } cases[] = {
        {kUpd, true, ERROR_SERVICE_DOES_NOT_EXIST, true, nullptr, nullptr},
        {kFile, true, ERROR_SERVICE_DOES_NOT_EXIST, true, nullptr, nullptr},
        {kFile, true, ERROR_SERVICE_DOES_NOT_EXIST, false, nullptr, nullptr},
        {kFile, true, ERROR_SERVICE_DOES_NOT_EXIST, true, "CopyFiles", nullptr}, // rolled back
        {kFile, true, ERROR_SERVICE_DOES_NOT_EXIST, true, "CopyFiles", "RestoreBackup"},
        {kFile, false, ERROR_SERVICE_DOES_NOT_EXIST, true, nullptr, nullptr}, // the shop has none
        {kFile, true, ERROR_ACCESS_DENIED, true, nullptr, nullptr},
        {kFile, true, ERROR_SERVICE_REQUEST_TIMEOUT, true, nullptr, nullptr},
        {kFile, true, 0, true, nullptr, nullptr},
    };
    const std::wstring dir = TempFolder(L"ensure");
    const std::wstring server = dir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe";
    const std::wstring marker = dir + L"\\CorvaneMarketServis\\servis.yeniden-kurulacak";
    CreateDirectoryW((dir + L"\\CorvaneMarketServis").c_str(), nullptr);
    WriteFile(server);
    for (const auto& c : cases) {
        ResetStepHooks();
        if (c.marked)
            WriteFile(marker);
        else
            DeleteFileW(marker.c_str());
        ServiceAnswer() = c.presence;
        TJournal j;
        auto h = std::make_unique<TScriptedHost>(j);
        TScriptedHost& host = *h;
        h->ExeFile = std::wstring(L"C:\\x\\") + c.exe;
        h->CmdResults[L"sc query CorvaneMarketService"] = 1060;
        h->OnCall = [&host, &c, server](const std::wstring& entry) {
            if (c.installWorks && entry.rfind(L"exe|" + server + L"|/install|", 0) == 0) {
                host.CmdResults[L"sc query CorvaneMarketService"] = 0;
                ServiceAnswer() = 0;
            }
        };
        TSetupEngine e(std::move(h));
        BindEvents(e, j);
        e.SetInstallDir(dir);
        e.DetectExistingInstall();
        for (const char* step : {c.failCopy, c.failRestore})
            if (step)
                StepHooks()[step] = [](TSetupEngine&) { throw ESetupError(L"hata"); };
        ASSERT_TRUE(e.Execute());
        ASSERT_TRUE(j.WaitFor(L"finished|", 20s));
        const TLines all = j.Entries();
        const auto at = std::find_if(all.begin(), all.end(), [](const std::wstring& l) {
            return l == L"log|  CorvaneMarketServer install...";
        });
        const TLines acted(at, std::find_if(at, all.end(), [](const std::wstring& l) {
                               return l == L"log|" || l.rfind(L"progress|100|", 0) == 0 ||
                                      l.rfind(L"finished|", 0) == 0;
                           }));
        // A full update registers the service again itself, on its own way.
        const bool full = std::wstring(c.exe) == kUpd;
        const bool acts =
            c.marked && c.presence == ERROR_SERVICE_DOES_NOT_EXIST && !c.failRestore && !full;
        const bool start = acts && !c.failCopy;
        TLines expected;
        if (acts) {
            expected = {L"log|  CorvaneMarketServer install...",
                        L"exe|" + server + L"|/install|10000", L"sleep|3000"};
            if (start)
                for (const auto* l :
                     {L"log|  net start CorvaneMarketService...",
                      L"cmd|net start CorvaneMarketService|10000", L"sleep|3000",
                      L"cmd|sc query CorvaneMarketService|5000",
                      c.installWorks ? L"log|  OK - CorvaneMarketService çalışıyor"
                                     : L"log|  ! UYARI: CorvaneMarketService durumu doğrulanamadı"})
                    expected.push_back(l);
            if (c.installWorks)
                expected.push_back(
                    L"log|  ! CorvaneMarketService kayitli degildi, yeniden kuruldu");
        }
        EXPECT_EQ(acted, expected) << c.exe << " marked=" << c.marked << " answer=" << c.presence;
        EXPECT_EQ(GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES,
                  c.marked && c.presence != 0 && !(c.installWorks && (acts || full)))
            << "the mark goes once the service is registered";
        if (c.failCopy && !c.failRestore) {
            // The rollback's closing lines: the empty line follows directly unless it acted.
            const auto done = std::find(all.begin(), all.end(),
                                        L"log|Sistem onceki surume basariyla geri yuklendi.");
            ASSERT_NE(done, all.end());
            EXPECT_EQ(*(done + 1), acts ? L"log|  CorvaneMarketServer install..." : L"log|");
        }
    }
    ResetStepHooks();
    RemoveTree(dir);
}

// ---------------------------------------------------------------------------------------------
// File update

TEST_F(DriverTest, FileUpdateStopsOnlyTheTillProgramAndTheBridges) {
    PoseAs(L"CorvaneMarketDosyaUpdate-1.2.exe");
    RunToEnd();
    EXPECT_EQ(journal.Entries(),
              Join({Header(kNoInstall, L"Mod: DOSYA GUNCELLEME (sadece EXE)"),
                    {L"progress|2|On kontrol yapiliyor...", L"log|[0/14] On kontrol yapiliyor...",
                     L"progress|5|CorvaneZideroZUR kapatılıyor...",
                     L"log|[DOSYA GÜNCELLEME] Sadece CorvaneZideroZUR kapatılıyor...",
                     L"cmd|taskkill /F /IM CorvaneZideroZUR.exe|3000",
                     L"cmd|taskkill /F /IM TarvikBridge.exe|3000",
                     L"cmd|taskkill /F /IM OmnelBridge.exe|3000", L"sleep|2000", L"log|  OK",
                     L"progress|15|Yedek olusturuluyor...", L"log|[1.5/14] Yedek olusturuluyor...",
                     L"progress|30|EXE güncelleniyor...", L"log|[2/14] Dosyalar kopyalanıyor..."},
                    Closing(L"Güncelleme tamamlandı!", L"DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI")}));
}

// ---------------------------------------------------------------------------------------------
// Database-only installation

TEST_F(DriverTest, DatabaseOnlyWithARegisteredServiceChangesNothing) {
    engine->SetOptCorvaneDBOnly(true);
    RunToEnd();
    EXPECT_EQ(journal.Entries(),
              Join({Header(kNoInstall, L"Mod: SADECE CorvaneDB"),
                    {L"log|Mod: SADECE CorvaneDB (MariaDB)", SEP, L"log|",
                     L"progress|5|Mevcut CorvaneDB kontrol ediliyor...",
                     L"log|[1/7] Mevcut CorvaneDB kontrol ediliyor...",
                     L"cmd|sc query CorvaneDB|5000",
                     L"log|  CorvaneDB servisi zaten kurulu - mevcut servis kullanılacak",
                     // No CorvaneDB key in a fresh prefix: the folder is empty.
                     L"log|  Konum: "},
                    Closing(L"Tamamlandı!", L"CorvaneDB ZATEN KURULU")}));
}

class DatabaseOnlyNewService : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fSource = TempFolder(L"source");
        fInstall = TempFolder(L"dbonly") + L"\\CorvaneZideroZur";
        engine->SetOptCorvaneDBOnly(true);
        engine->SetInstallDir(fInstall);
        engine->SetSourceDir(fSource);
        engine->SetDbDrive(L"E");
        RemoveTree(L"E:\\CorvaneOrtakData");
        host().CmdResults[L"sc query CorvaneDB"] = 1060;
    }
    void TearDown() override {
        DriverTest::TearDown();
        RemoveTree(L"E:\\CorvaneOrtakData");
        RemoveTree(fSource);
        RemoveTree(fInstall.substr(0, fInstall.rfind(L'\\')));
    }
    std::wstring fSource, fInstall;
};

TEST_F(DatabaseOnlyNewService, CopiesTheDatabaseProgramsAndRunsTheSevenSteps) {
    CreateDirectoryW((fSource + L"\\mariadb").c_str(), nullptr);
    RunToEnd();
    EXPECT_EQ(
        journal.Entries(),
        Join({Header(fInstall, L"Mod: SADECE CorvaneDB"),
              {L"log|Mod: SADECE CorvaneDB (MariaDB)", SEP, L"log|",
               L"progress|5|Mevcut CorvaneDB kontrol ediliyor...",
               L"log|[1/7] Mevcut CorvaneDB kontrol ediliyor...", L"cmd|sc query CorvaneDB|5000",
               L"log|  CorvaneDB servisi yok - yeni kurulum",
               L"progress|15|MariaDB dosyaları kopyalanıyor...",
               L"log|[2/7] MariaDB dosyaları kopyalanıyor...",
               L"copydir|" + fSource + L"\\mariadb|E:\\CorvaneOrtakData\\mariadb",
               L"log|  mariadb klasörü kopyalandı", L"progress|30|Data klasörü hazırlanıyor...",
               L"log|[3/7] Data klasörü...", L"log|[3/14] Klasörler oluşturuluyor...",
               L"progress|40|Yapılandırma dosyaları...", L"log|[4/7] Yapılandırma...",
               L"log|[4/14] my.ini...", L"progress|50|MariaDB başlatılıyor...",
               L"log|[5/7] MariaDB init...", L"log|[6/14] MariaDB init...",
               L"progress|65|CorvaneDB servisi kuruluyor...", L"log|[6/7] CorvaneDB servisi...",
               L"log|[7/14] CorvaneDB servisi...", L"progress|80|Erişim ayarları...",
               L"log|[7/7] Erişim ayarları...", L"log|  Firewall: port 3307...",
               L"cmd|netsh advfirewall firewall add rule name=\"CorvaneDB\" dir=in action=allow "
               L"protocol=tcp localport=3307|5000",
               L"log|[11/14] Uzak erişim..."},
              Closing(L"Tamamlandı!", L"CorvaneDB KURULUMU BAŞARIYLA TAMAMLANDI")}));
    EXPECT_NE(GetFileAttributesW(fInstall.c_str()), INVALID_FILE_ATTRIBUTES)
        << "installation folder not created";
}

TEST_F(DatabaseOnlyNewService, KeepsDatabaseProgramsThatAreAlreadyThereAndIgnoresOtherSwitches) {
    CreateDirectoryW(L"E:\\CorvaneOrtakData", nullptr);
    CreateDirectoryW(L"E:\\CorvaneOrtakData\\mariadb", nullptr);
    CreateDirectoryW(L"E:\\CorvaneOrtakData\\mariadb\\bin", nullptr);
    engine->SetOptRemoteAccess(false);
    engine->SetOptFirewall(false);
    engine->SetOptDemoData(true);
    RunToEnd();
    EXPECT_TRUE(Logged(L"  mariadb klasörü zaten mevcut - kopyalama atlanıyor"));
    EXPECT_EQ(journal.Count(L"copydir|"), 0);
    EXPECT_EQ(journal.Count(L"cmd|netsh advfirewall"), 1) << "the port rule is added regardless";
    for (const auto* line : {L"[11/14] Uzak erişim...", L"[10/14] Demo veriler...",
                             L"[5/14] Config dosyaları...", L"[12/14] CorvaneMarketService...",
                             L"[13/14] Kısayollar...", L"[14/14] Program Ekle/Kaldır kaydı..."})
        EXPECT_FALSE(Logged(line)) << line;
    EXPECT_EQ(journal.Entries().back(), L"finished|1|");
}

TEST_F(DatabaseOnlyNewService, FailsWithTwoLineMessageWhenNoDatabaseProgramsExist) {
    RunToEnd();
    const std::wstring msg = L"mariadb klasörü bulunamadı!\r\nKontrol edin: "
                             L"E:\\CorvaneOrtakData\\mariadb veya " +
                             fSource + L"\\mariadb";
    EXPECT_TRUE(Logged(L"!!! HATA: " + msg));
    EXPECT_EQ(journal.Entries().back(), L"finished|0|" + msg);
    EXPECT_FALSE(Logged(L"[3/7] Data klasörü..."));
}

TEST_F(DatabaseOnlyNewService, AnyResultButZeroCountsAsNoService) {
    for (int result : {1060, 1, 259, -1}) {
        ResetStepHooks();
        auto h = std::make_unique<TScriptedHost>(journal);
        h->CmdResults[L"sc query CorvaneDB"] = result;
        TSetupEngine e(std::move(h));
        BindEvents(e, journal);
        e.SetOptCorvaneDBOnly(true);
        e.SetInstallDir(fInstall);
        e.SetSourceDir(fSource);
        e.SetDbDrive(L"E");
        const int before = journal.Count(L"log|  CorvaneDB servisi yok - yeni kurulum");
        const int finishedBefore = journal.Count(L"finished|");
        ASSERT_TRUE(e.Execute());
        for (int i = 0; i < 200 && journal.Count(L"finished|") == finishedBefore; ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(journal.Count(L"log|  CorvaneDB servisi yok - yeni kurulum"), before + 1)
            << "result " << result;
    }
}

// ---------------------------------------------------------------------------------------------
// Mode selection

TEST_F(DriverTest, ModeFollowsTheFileNameTheFlagsAndTheDatabaseSwitch) {
    struct Case {
        const wchar_t* exe;
        bool dbOnly;
        const wchar_t* modeLine;
    } cases[] = {
        {L"CorvaneMarketSetup.exe", false, L"Mod: YENI KURULUM"},
        {L"CorvaneMarketSetup.exe", true, L"Mod: SADECE CorvaneDB"},
        {L"CorvaneMarketUpdate-1.2.exe", false, L"Mod: TAM GUNCELLEME"},
        {L"CorvaneMarketUpdate-1.2.exe", true, L"Mod: TAM GUNCELLEME"},
        {L"CorvaneMarketDosyaUpdate-1.2.exe", false, L"Mod: DOSYA GUNCELLEME (sadece EXE)"},
        {L"CorvaneMarketDosyaUpdate-1.2.exe", true, L"Mod: SADECE CorvaneDB"},
        {L"CorvaneMarketupdate.exe", false, L"Mod: YENI KURULUM"},
    };
    for (const auto& c : cases) {
        TJournal j;
        auto h = std::make_unique<TScriptedHost>(j);
        h->ExeFile = std::wstring(L"C:\\x\\") + c.exe;
        h->CmdResults[L"sc query CorvaneDB"] = 0;
        TSetupEngine e(std::move(h));
        BindEvents(e, j);
        e.DetectExistingInstall();
        e.SetOptCorvaneDBOnly(c.dbOnly);
        ASSERT_TRUE(e.Execute());
        ASSERT_TRUE(j.WaitFor(L"finished|", 20s));
        const TLines lines = j.Only(L"log|");
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3], c.modeLine) << c.exe << " dbOnly=" << c.dbOnly;
    }
}

TEST(EngineDetection, ExistingDatabaseFolderMeansAFileUpdateUnlessTheNameSaysOtherwise) {
    TJournal j;
    auto h = std::make_unique<TScriptedHost>(j);
    TScriptedHost* host = h.get();
    TSetupEngine e(std::move(h));
    // Before any folder is set the tested folder names no drive and never exists.
    e.DetectExistingInstall();
    EXPECT_FALSE(e.IsUpdateInstall());

    CreateDirectoryW(L"E:\\CorvaneOrtakData", nullptr);
    CreateDirectoryW(L"E:\\CorvaneOrtakData\\Data", nullptr);
    CreateDirectoryW(L"E:\\CorvaneOrtakData\\Data\\corvaneposdb", nullptr);
    e.SetInstallDir(L"E:\\CorvaneZideroZur");
    e.DetectExistingInstall();
    EXPECT_TRUE(e.IsUpdateInstall());
    EXPECT_FALSE(e.IsFullUpdate());
    e.SetDbDrive(L"D"); // database on D now: nothing there
    e.DetectExistingInstall();
    EXPECT_FALSE(e.IsUpdateInstall());

    host->ExeFile = L"C:\\x\\CorvaneMarketUpdate-1.2.exe";
    e.DetectExistingInstall();
    EXPECT_TRUE(e.IsUpdateInstall());
    EXPECT_TRUE(e.IsFullUpdate());
    host->ExeFile = L"C:\\x\\CorvaneMarketDosyaUpdate-1.2.exe";
    e.DetectExistingInstall();
    EXPECT_TRUE(e.IsUpdateInstall());
    EXPECT_FALSE(e.IsFullUpdate()) << "each call recomputes both flags";
    RemoveTree(L"E:\\CorvaneOrtakData");
}

// ---------------------------------------------------------------------------------------------
// Cancellation

struct CancelCase {
    const wchar_t* exe;
    bool dbOnly;
    const char* cancelIn;          // step during which the user cancels
    const wchar_t* lastLine;       // last step header logged before the run stops
    const wchar_t* firstNotLogged; // the next step, never reached
};

class CancellationPoints : public DriverTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancellationPoints, RunStopsAtTheNextCheckAndReportsTheCancellation) {
    const CancelCase& c = GetParam();
    const std::wstring src = TempFolder(L"cancel-src");
    CreateDirectoryW((src + L"\\mariadb").c_str(), nullptr);
    engine->SetSourceDir(src);
    engine->SetDbDrive(L"E");
    RemoveTree(L"E:\\CorvaneOrtakData");
    host().CmdResults[L"sc query CorvaneDB"] = 1060;
    PoseAs(c.exe);
    engine->SetOptCorvaneDBOnly(c.dbOnly);
    CancelIn(c.cancelIn);
    RunToEnd();
    EXPECT_TRUE(Logged(c.lastLine));
    EXPECT_FALSE(Logged(c.firstNotLogged));
    const TLines all = journal.Entries();
    EXPECT_EQ(TLines(all.end() - 3, all.end()),
              (TLines{L"log|", L"log|!!! HATA: " + CANCELLED, L"finished|0|" + CANCELLED}));
    EXPECT_EQ(journal.Count(L"finished|"), 1);
    EXPECT_EQ(journal.Result(), TRunResult::Cancelled);
    RemoveTree(L"E:\\CorvaneOrtakData");
    RemoveTree(src);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCheckPoint, CancellationPoints,
    ::testing::Values(
        // Full update: after the pre-flight check, the stop sequence, the backup and the copy.
        CancelCase{kUpd, false, "PreflightCheck", L"[0/14] On kontrol yapiliyor...",
                   L"[TAM GÜNCELLEME] Servis ve işlemler durduruluyor..."},
        CancelCase{kUpd, false, "CreateBackup", L"[1.5/14] Yedek olusturuluyor...",
                   L"[2/14] Dosyalar kopyalanıyor..."},
        CancelCase{kUpd, false, "CopyFiles", L"[2/14] Dosyalar kopyalanıyor...",
                   L"[13/14] Kısayollar..."},
        // File update.
        CancelCase{kFile, false, "PreflightCheck", L"[0/14] On kontrol yapiliyor...",
                   L"[DOSYA GÜNCELLEME] Sadece CorvaneZideroZUR kapatılıyor..."},
        CancelCase{kFile, false, "CreateBackup", L"[1.5/14] Yedek olusturuluyor...",
                   L"[2/14] Dosyalar kopyalanıyor..."},
        CancelCase{kFile, false, "CopyFiles", L"[2/14] Dosyalar kopyalanıyor...",
                   L"DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI"},
        // Database-only: no check after CreateFolders and WriteMyIni, so a cancel there is
        // noticed only after InitMariaDB.
        CancelCase{kNew, true, "CreateFolders", L"[6/14] MariaDB init...",
                   L"[6/7] CorvaneDB servisi..."},
        CancelCase{kNew, true, "InitMariaDB", L"[6/14] MariaDB init...",
                   L"[6/7] CorvaneDB servisi..."},
        CancelCase{kNew, true, "InstallDBService", L"[7/14] CorvaneDB servisi...",
                   L"[7/7] Erişim ayarları..."},
        // New installation: after the copy (which completes), InitMariaDB, InstallDBService.
        CancelCase{kNew, false, "CopyFiles", L"[2/14] Dosyalar kopyalanıyor...",
                   L"[3/14] Klasörler oluşturuluyor..."},
        CancelCase{kNew, false, "WriteConfigFiles", L"[6/14] MariaDB init...",
                   L"[7/14] CorvaneDB servisi..."},
        CancelCase{kNew, false, "InstallDBService", L"[7/14] CorvaneDB servisi...",
                   L"[8/14] Firewall..."}));

TEST_F(DriverTest, CancelDuringTheStopSequenceOfAFullUpdateStopsBeforeTheBackup) {
    PoseAs(kUpd);
    host().OnCall = [this](const std::wstring& entry) {
        if (entry == L"waitexit|CorvaneMarketServer.exe|15")
            engine->Cancel();
    };
    RunToEnd();
    EXPECT_TRUE(Logged(L"  Tüm işlemler durduruldu"));
    EXPECT_FALSE(Logged(L"[1.5/14] Yedek olusturuluyor..."));
    EXPECT_EQ(journal.Entries().back(), L"finished|0|" + CANCELLED);
}

TEST_F(DriverTest, CancelInTheDatabaseOnlyProgramCopyStopsBeforeTheDataFolder) {
    const std::wstring src = TempFolder(L"cancel-copy");
    CreateDirectoryW((src + L"\\mariadb").c_str(), nullptr);
    engine->SetSourceDir(src);
    engine->SetDbDrive(L"E");
    engine->SetOptCorvaneDBOnly(true);
    RemoveTree(L"E:\\CorvaneOrtakData");
    host().CmdResults[L"sc query CorvaneDB"] = 1060;
    host().OnCall = [this](const std::wstring& entry) {
        if (entry.rfind(L"copydir|", 0) == 0)
            engine->Cancel();
    };
    RunToEnd();
    EXPECT_TRUE(Logged(L"  mariadb klasörü kopyalandı"));
    EXPECT_FALSE(Logged(L"[3/7] Data klasörü..."));
    EXPECT_EQ(journal.Entries().back(), L"finished|0|" + CANCELLED);
    RemoveTree(src);
}

TEST_F(DriverTest, CancelAfterTheDatabaseServiceStepOfANewInstallationIsNotNoticed) {
    CancelIn("ConfigureFirewall");
    RunToEnd();
    EXPECT_TRUE(Logged(L"[14/14] Program Ekle/Kaldır kaydı..."));
    EXPECT_EQ(journal.Entries().back(), L"finished|1|");
}

TEST_F(DriverTest, CancelBeforeExecuteIsForgotten) {
    engine->Cancel();
    RunToEnd();
    EXPECT_EQ(journal.Entries().back(), L"finished|1|");
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

TEST(EngineLifecycle, NewEngineHasTheDefaultOptionsAndFolders) {
    TJournal j;
    TSetupEngine e(std::make_unique<TScriptedHost>(j));
    EXPECT_TRUE(e.OptDesktopShortcut());
    EXPECT_TRUE(e.OptFirewall());
    EXPECT_TRUE(e.OptRemoteAccess());
    EXPECT_TRUE(e.OptCorvaneSync());
    EXPECT_FALSE(e.OptDemoData());
    EXPECT_FALSE(e.OptCorvaneDBOnly());
    EXPECT_FALSE(e.IsUpdateInstall());
    EXPECT_FALSE(e.IsFullUpdate());
    EXPECT_TRUE(e.InstallDir().empty());
    EXPECT_TRUE(e.SourceDir().empty());
    EXPECT_TRUE(e.DbDrive().empty());
    EXPECT_FALSE(e.OnLog() || e.OnProgress() || e.OnFinished());
    EXPECT_EQ(e.OrtakDataDir(), L":\\CorvaneOrtakData");
    EXPECT_EQ(e.DataDir(), L":\\CorvaneOrtakData\\Data");
    e.SetInstallDir(L"C:\\CorvaneZideroZur");
    e.SetDbDrive(L"D");
    EXPECT_EQ(e.MariaBin(L"mariadb.exe"), L"D:\\CorvaneOrtakData\\mariadb\\bin\\mariadb.exe");
    EXPECT_EQ(e.MariaDir(), L"D:\\CorvaneOrtakData\\mariadb");
    EXPECT_TRUE(j.Entries().empty()) << "creating an engine does nothing";
}

TEST(EngineLifecycle, RunWithoutHandlersStillEnds) {
    TJournal j;
    auto e = std::make_unique<TSetupEngine>(std::make_unique<TScriptedHost>(j));
    ASSERT_TRUE(e->Execute());
    for (int i = 0; i < 200 && e->IsRunning(); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(e->IsRunning());
    EXPECT_EQ(j.Only(L"sleep|").size(), 3u);
}

TEST_F(DriverTest, SecondExecuteWhileRunningIsRefusedAndOneReportArrives) {
    std::atomic<bool> release{false};
    StepHooks()["CopyFiles"] = [&release](TSetupEngine&) {
        for (int i = 0; i < 400 && !release; ++i)
            std::this_thread::sleep_for(10ms);
    };
    ASSERT_TRUE(engine->Execute());
    ASSERT_TRUE(journal.WaitFor(L"log|[2/14]", 10s));
    EXPECT_TRUE(engine->IsRunning());
    EXPECT_FALSE(engine->Execute()) << "a second run must not start beside the first";
    release = true;
    ASSERT_TRUE(journal.WaitFor(L"finished|", 20s));
    engine.reset();
    EXPECT_EQ(journal.Count(L"finished|"), 1);
    EXPECT_EQ(journal.Count(L"log|Corvane Market Pos Kurulum"), 1);
}

TEST_F(DriverTest, EngineRunsAgainAfterItsFirstRunHasEnded) {
    ASSERT_TRUE(engine->Execute());
    ASSERT_TRUE(journal.WaitFor(L"finished|", 20s));
    for (int i = 0; i < 200 && engine->IsRunning(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(engine->Execute());
    for (int i = 0; i < 400 && journal.Count(L"finished|") < 2; ++i)
        std::this_thread::sleep_for(10ms);
    engine.reset();
    EXPECT_EQ(journal.Count(L"finished|"), 2);
    EXPECT_EQ(journal.Count(L"log|Corvane Market Pos Kurulum"), 2);
}

TEST_F(DriverTest, DestroyDuringALongStepWaitsForTheWorkerAndRaisesNothingMore) {
    std::atomic<bool> stepEnded{false};
    StepHooks()["CopyFiles"] = [&stepEnded](TSetupEngine& e) {
        // A long step: it runs on until the engine is being destroyed, then logs once more.
        for (int i = 0; i < 1000 && !TSetupEngineTestAccess::Destroying(e); ++i)
            std::this_thread::sleep_for(10ms);
        TSetupEngineTestAccess::Log(e, L"  after destroy");
        stepEnded = true;
    };
    ASSERT_TRUE(engine->Execute());
    ASSERT_TRUE(journal.WaitFor(L"log|[2/14]", 10s));
    const size_t before = journal.Entries().size();
    engine.reset();
    EXPECT_TRUE(stepEnded) << "destruction returned before the worker finished";
    EXPECT_EQ(journal.Entries().size(), before) << "a callback arrived after destruction began";
    EXPECT_EQ(journal.Count(L"finished|"), 0);
}

TEST(EngineLifecycle, DestroyingAnEngineThatNeverRanReturnsAtOnce) {
    TJournal j;
    const auto start = std::chrono::steady_clock::now();
    { TSetupEngine e(std::make_unique<TScriptedHost>(j)); }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

} // namespace
