// The run: reporting, cancellation, the worker thread and the step sequence of each mode.
#include "uSetupEngine.h"

#include <windows.h>

#include "backup/uBackupUtil.h"
#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uInstallation.h"
#include "uWin32Seam.h"
#include "uWinHandles.h"

namespace {

const wchar_t* const kCancelledMsg = L"Kullanıcı tarafından iptal edildi";

// Beside the service program from just before the full update deletes the service until the
// new one is registered: only then is a missing service this program's doing (a shop may have
// chosen to have none).
std::wstring ServiceMarker(const std::wstring& installDir) {
    return installDir + L"\\CorvaneMarketServis\\servis.yeniden-kurulacak";
}

enum class TPresence { Registered, Missing, Unknown };

// Asked of the service manager itself, without a log line: only "does not exist" counts as
// missing; no answer, access denied or a busy manager decide nothing.
TPresence AppServicePresence() {
    TScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return TPresence::Unknown;
    TScHandle service(
        vpfnOpenServiceW(manager.Get(), L"CorvaneMarketService", SERVICE_QUERY_STATUS));
    if (service)
        return TPresence::Registered;
    return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? TPresence::Missing
                                                            : TPresence::Unknown;
}

} // namespace

void TSetupEngine::Log(const std::wstring& Msg) {
    if (!FDestroying && FOnLog)
        FOnLog(Msg);
}

void TSetupEngine::Progress(int Percent, const std::wstring& Step) {
    if (!FDestroying && FOnProgress)
        FOnProgress(Percent, Step);
}

void TSetupEngine::CheckCancelled() {
    if (FCancelled) {
        FFailure = TRunResult::Cancelled;
        throw ESetupError(kCancelledMsg);
    }
}

void TSetupEngine::Cancel() {
    FCancelled = true;
}

bool TSetupEngine::Execute() {
    // A second run on the same engine while the first is active would race on every field and
    // lose the first thread; refuse it.
    if (FRunning)
        return false;
    if (FThread.joinable())
        FThread.join(); // the earlier run has finished: only its thread object is left
    FCancelled = false;
    FRunning = true;
    FThread = std::thread([this] {
        RunSetup();
        FRunning = false;
    });
    return true;
}

void TSetupEngine::ReportFinished(TRunResult Result, const std::wstring& ErrorMsg) {
    if (!FDestroying && FOnFinished)
        FOnFinished(TRunOutcome{Result, ErrorMsg});
}

void TSetupEngine::Finish(const std::wstring& Caption, const std::wstring& Banner) {
    Progress(100, Caption);
    Log(L"");
    Log(SEPARATOR_LINE);
    Log(Banner);
    Log(SEPARATOR_LINE);
    ReportFinished(TRunResult::Succeeded, L"");
}

void TSetupEngine::RunSetup() {
    FFailure = TRunResult::Failed;
    try {
        enum class TMode { FullUpdate, FileUpdate, DbOnly, NewInstall };
        TMode mode;
        const wchar_t* modeLine;
        if (FIsUpdate && FIsFullUpdate) {
            mode = TMode::FullUpdate;
            modeLine = L"Mod: TAM GUNCELLEME";
        } else if (FIsUpdate && !FOptCorvaneDBOnly) {
            mode = TMode::FileUpdate;
            modeLine = L"Mod: DOSYA GUNCELLEME (sadece EXE)";
        } else if (FOptCorvaneDBOnly) {
            mode = TMode::DbOnly;
            modeLine = L"Mod: SADECE CorvaneDB";
        } else {
            mode = TMode::NewInstall;
            modeLine = L"Mod: YENI KURULUM";
        }
        Log(SEPARATOR_LINE);
        Log(L"Corvane Market Pos Kurulum");
        Log(L"Hedef: " + FInstallDir);
        Log(modeLine);
        Log(SEPARATOR_LINE);
        Log(L"");
        switch (mode) {
        case TMode::FullUpdate:
            RunFullUpdate();
            break;
        case TMode::FileUpdate:
            RunFileUpdate();
            break;
        case TMode::DbOnly:
            RunDbOnly();
            break;
        case TMode::NewInstall:
            RunNewInstall();
            break;
        }
    } catch (const ESetupError& e) {
        Log(L"");
        Log(L"!!! HATA: " + e.Message());
        ReportFinished(FFailure, e.Message());
    } catch (const std::exception& e) {
        // Not expected from our own code (out of memory, a library's error): still one report.
        const std::wstring msg = ErrorText(e);
        Log(L"");
        Log(L"!!! HATA: " + msg);
        ReportFinished(FFailure, msg);
    }
}

void TSetupEngine::StopProcesses() {
    Log(L"[1/14] İşlemler durduruluyor...");
    RunCmd(L"taskkill /F /IM CorvaneZideroZUR.exe", 3000);
    RunCmd(L"taskkill /F /IM TarvikBridge.exe", 3000);
    RunCmd(L"taskkill /F /IM OmnelBridge.exe", 3000);
    Sleep(2000);
    RunCmd(L"net stop CorvaneMarketService", 10000);
    Sleep(1000);
    RunCmd(L"taskkill /F /IM CorvaneMarketServer.exe", 5000);
    Sleep(2000);
    Log(L"  OK");
}

void TSetupEngine::CopyFilesWithRollback() {
    // While the installed files are replaced the installation is a mix of two versions: the
    // mark in the backup tells a run after a cut to keep the backup of the whole one.
    const std::wstring marker = FBackupCreated && !FBackupDir.empty()
                                    ? FBackupDir + L"\\" + BackupUtil::kUpdateMarkerName
                                    : L"";
    if (!marker.empty()) {
        DWORD error = ERROR_SUCCESS;
        if (!WriteDurableFile(marker, "guncelleme suruyor\r\n", error))
            throw ESetupError(L"Guncelleme isareti yazilamadi: " + marker + L": " +
                              SysErrorMessage(error));
    }
    try {
        CopyFiles();
        if (!marker.empty())
            ::DeleteFileW(marker.c_str());
    } catch (const ESetupError& copyError) {
        Log(L"");
        Log(L"!!! KOPYALAMA HATASI - OTOMATIK GERI YUKLEME !!!");
        Log(L"Hata: " + copyError.Message());
        try {
            RestoreBackup();
            Log(L"Sistem onceki surume basariyla geri yuklendi.");
            FFailure = TRunResult::RolledBack;
            EnsureAppService(false);
        } catch (const ESetupError& restoreError) {
            Log(L"GERI YUKLEME DE BASARISIZ: " + restoreError.Message());
            FFailure = TRunResult::RollbackFailed;
        }
        throw;
    }
}

void TSetupEngine::StopForFullUpdate() {
    if (!StopServiceWait(L"CorvaneMarketService", 30)) {
        Log(L"  Servis API ile durmadı, taskkill deneniyor...");
        RunCmd(L"taskkill /F /IM CorvaneMarketServer.exe", 5000);
        Sleep(3000);
    }
    RunCmd(L"taskkill /F /IM CorvaneMarketServer.exe", 3000);
    RunCmd(L"taskkill /F /IM CorvaneZideroZUR.exe", 3000);
    RunCmd(L"taskkill /F /IM TarvikBridge.exe", 3000);
    RunCmd(L"taskkill /F /IM OmnelBridge.exe", 3000);
    if (!WaitProcessExit(L"CorvaneMarketServer.exe", 15)) {
        Log(L"  ! Son deneme: force kill");
        RunCmd(L"taskkill /F /IM CorvaneMarketServer.exe", 5000);
        Sleep(3000);
        if (IsProcessRunning(L"CorvaneMarketServer.exe"))
            throw ESetupError(L"CorvaneMarketServer.exe kapatılamadı! Lütfen manuel kapatın.");
    }
    Sleep(2000);
    Log(L"  Tüm işlemler durduruldu");
}

void TSetupEngine::ReinstallAppService() {
    const std::wstring marker = ServiceMarker(FInstallDir);
    DWORD error = ERROR_SUCCESS;
    WriteDurableFile(marker, "CorvaneMarketService\r\n", error);
    if (!DeleteServiceWait(L"CorvaneMarketService", 15))
        Log(L"  ! Eski servis silinemedi, yeni kurulum denenecek...");
    Sleep(2000);
    Log(L"  Yeni servis kuruluyor...");
    RunExe(FInstallDir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe", L"/install", 15000);
    if (AppServicePresence() == TPresence::Registered)
        ::DeleteFileW(marker.c_str());
    Sleep(3000);
    Log(L"  Servis başlatılıyor...");
    RunCmd(L"net start CorvaneMarketService", 15000);
    Sleep(2000);
    Log(L"  Servis OK");
}

// Registers the back-office service from its program and starts it, the way a new
// installation does; true when the service is registered afterwards.
bool TSetupEngine::RegisterAppService(const std::wstring& Server) {
    Log(L"  CorvaneMarketServer install...");
    RunExe(Server, L"/install", 10000);
    Sleep(3000);
    Log(L"  net start CorvaneMarketService...");
    RunCmd(L"net start CorvaneMarketService", 10000);
    Sleep(3000);
    if (RunCmd(L"sc query CorvaneMarketService", 5000) == 0) {
        Log(L"  OK - CorvaneMarketService çalışıyor");
        return true;
    }
    Log(L"  ! UYARI: CorvaneMarketService durumu doğrulanamadı");
    return false;
}

// A full update cut off between deleting the old service and registering the new one leaves
// the shop without its back-office service: the next run or restore registers it again. Only a
// restore leaves it stopped, as a restore starts nothing.
void TSetupEngine::EnsureAppService(bool Start) {
    if (FInstallDir.empty())
        return;
    const std::wstring marker = ServiceMarker(FInstallDir);
    const std::wstring server = FInstallDir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe";
    if (!FileExists(marker))
        return;
    const TPresence presence = AppServicePresence();
    if (presence == TPresence::Registered) {
        ::DeleteFileW(marker.c_str());
        return;
    }
    if (presence != TPresence::Missing || !FileExists(server))
        return;
    bool registered = false;
    if (Start) {
        registered = RegisterAppService(server);
    } else {
        Log(L"  CorvaneMarketServer install...");
        RunExe(server, L"/install", 10000);
        Sleep(3000);
        registered = AppServicePresence() == TPresence::Registered;
    }
    if (registered) {
        ::DeleteFileW(marker.c_str());
        Log(L"  ! CorvaneMarketService kayitli degildi, yeniden kuruldu");
    }
}

void TSetupEngine::RunFullUpdate() {
    Progress(2, L"On kontrol yapiliyor...");
    PreflightCheck();
    CheckCancelled();

    Progress(5, L"İslemler durduruluyor...");
    Log(L"[TAM GÜNCELLEME] Servis ve işlemler durduruluyor...");
    StopForFullUpdate();
    CheckCancelled();

    Progress(8, L"Yedek olusturuluyor...");
    CreateBackup();
    CheckCancelled();

    Progress(10, L"Dosyalar kopyalanıyor...");
    CopyFilesWithRollback();
    CheckCancelled();

    if (FileExists(FInstallDir + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe")) {
        Progress(65, L"Servis yeniden kuruluyor...");
        Log(L"[TAM GÜNCELLEME] Servis yeniden kuruluyor...");
        ReinstallAppService();
    }
    if (FOptDesktopShortcut) {
        Progress(85, L"Kısayollar güncelleniyor...");
        CreateShortcut();
    }
    EnsureAppService(true);
    // Detection rules and the package manager read the version from the entry.
    Installation::WriteDisplayVersion(FVersion);
    Finish(L"Güncelleme tamamlandı!", L"TAM GÜNCELLEME BAŞARIYLA TAMAMLANDI");
}

void TSetupEngine::RunFileUpdate() {
    Progress(2, L"On kontrol yapiliyor...");
    PreflightCheck();
    CheckCancelled();

    Progress(5, L"CorvaneZideroZUR kapatılıyor...");
    Log(L"[DOSYA GÜNCELLEME] Sadece CorvaneZideroZUR kapatılıyor...");
    RunCmd(L"taskkill /F /IM CorvaneZideroZUR.exe", 3000);
    RunCmd(L"taskkill /F /IM TarvikBridge.exe", 3000);
    RunCmd(L"taskkill /F /IM OmnelBridge.exe", 3000);
    Sleep(2000);
    Log(L"  OK");
    CheckCancelled();

    Progress(15, L"Yedek olusturuluyor...");
    CreateBackup();
    CheckCancelled();

    Progress(30, L"EXE güncelleniyor...");
    CopyFilesWithRollback();
    CheckCancelled();

    EnsureAppService(true);
    Installation::WriteDisplayVersion(FVersion);
    Finish(L"Güncelleme tamamlandı!", L"DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI");
}

void TSetupEngine::CopyDbProgramFiles() {
    ProtectInstallFolders(true);
    ForceDirectories(FInstallDir);
    if (DirectoryExists(MariaDir() + L"\\bin")) {
        Log(L"  mariadb klasörü zaten mevcut - kopyalama atlanıyor");
    } else if (DirectoryExists(FSourceDir + L"\\mariadb")) {
        CopyDirRecursive(FSourceDir + L"\\mariadb", MariaDir());
        Log(L"  mariadb klasörü kopyalandı");
    } else {
        throw ESetupError(L"mariadb klasörü bulunamadı!\r\nKontrol edin: " + MariaDir() +
                          L" veya " + FSourceDir + L"\\mariadb");
    }
}

void TSetupEngine::RunDbOnly() {
    Log(L"Mod: SADECE CorvaneDB (MariaDB)");
    Log(SEPARATOR_LINE);
    Log(L"");

    Progress(5, L"Mevcut CorvaneDB kontrol ediliyor...");
    Log(L"[1/7] Mevcut CorvaneDB kontrol ediliyor...");
    if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
        Log(L"  CorvaneDB servisi zaten kurulu - mevcut servis kullanılacak");
        Log(L"  Konum: " + GetMevcutServisYolu());
        Finish(L"Tamamlandı!", L"CorvaneDB ZATEN KURULU");
        return;
    }
    Log(L"  CorvaneDB servisi yok - yeni kurulum");
    CheckCancelled();

    Progress(15, L"MariaDB dosyaları kopyalanıyor...");
    Log(L"[2/7] MariaDB dosyaları kopyalanıyor...");
    CopyDbProgramFiles();
    CheckCancelled();

    Progress(30, L"Data klasörü hazırlanıyor...");
    Log(L"[3/7] Data klasörü...");
    CreateFolders();

    Progress(40, L"Yapılandırma dosyaları...");
    Log(L"[4/7] Yapılandırma...");
    WriteMyIni();

    Progress(50, L"MariaDB başlatılıyor...");
    Log(L"[5/7] MariaDB init...");
    InitMariaDB();
    CheckCancelled();

    Progress(65, L"CorvaneDB servisi kuruluyor...");
    Log(L"[6/7] CorvaneDB servisi...");
    InstallDBService();
    CheckCancelled();

    Progress(80, L"Erişim ayarları...");
    Log(L"[7/7] Erişim ayarları...");
    Log(L"  Firewall: port 3307...");
    RunCmd(L"netsh advfirewall firewall add rule name=\"CorvaneDB\" dir=in action=allow "
           L"protocol=tcp localport=3307",
           5000);
    if (FOptRemoteAccess)
        ConfigureRemoteAccess();

    Finish(L"Tamamlandı!", L"CorvaneDB KURULUMU BAŞARIYLA TAMAMLANDI");
}

void TSetupEngine::RunNewInstall() {
    Progress(2, L"İslemler durduruluyor...");
    StopProcesses();
    CheckCancelled();

    Progress(5, L"Dosyalar kopyalanıyor...");
    CopyFiles();
    CheckCancelled();

    Progress(30, L"Klasörler oluşturuluyor...");
    CreateFolders();

    Progress(34, L"MariaDB yapılandırılıyor...");
    WriteMyIni();
    WriteConfigFiles();

    Progress(40, L"MariaDB başlatılıyor...");
    InitMariaDB();
    CheckCancelled();

    Progress(50, L"CorvaneDB servisi kuruluyor...");
    InstallDBService();
    CheckCancelled();

    if (FOptFirewall) {
        Progress(60, L"Güvenlik duvarı ayarlanıyor...");
        ConfigureFirewall();
    }
    if (FOptDemoData) {
        Progress(74, L"Demo veriler yükleniyor...");
        LoadDemoData();
    }
    if (FOptRemoteAccess) {
        Progress(80, L"Uzak erişim ayarlanıyor...");
        ConfigureRemoteAccess();
    }
    if (FOptCorvaneSync) {
        Progress(86, L"CorvaneMarketService kuruluyor...");
        InstallAppService();
    }
    if (FOptDesktopShortcut) {
        Progress(92, L"Kısayollar oluşturuluyor...");
        CreateShortcut();
    }
    Progress(96, L"Kayıt defteri...");
    RegisterUninstall();
    // Without CorvaneSync the shop chose to have no back-office service.
    if (FOptCorvaneSync)
        EnsureAppService(true);

    Finish(L"Tamamlandı!", L"KURULUM BAŞARIYLA TAMAMLANDI");
}
