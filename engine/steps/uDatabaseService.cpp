// Database initialisation and the CorvaneDB service.
#include <windows.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uSetupEngine.h"

namespace {

std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

// Folder names compare without regard to the case of A to Z only, as the service folder is
// taken from a registry text that the user may have typed in any case.
bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return EngineRules::SameTextAscii(WithoutTrailingBackslash(a), WithoutTrailingBackslash(b));
}

} // namespace

void TSetupEngine::InitMariaDB() {
    Log(L"[6/14] MariaDB init...");
    if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
        Log(L"  CorvaneDB zaten çalışıyor - MariaDB init atlanıyor");
        return;
    }
    if (DirectoryExists(DataDir() + L"\\mysql")) {
        Log(L"  Data\\mysql mevcut - atlanıyor");
        return;
    }
    const std::wstring initializer = MariaBin(L"mariadb-install-db.exe");
    if (!FileExists(initializer))
        throw ESetupError(L"mariadb-install-db.exe bulunamadı: " + initializer);
    RunExe(initializer, L"--datadir=\"" + DataDir() + L"\" --password=kelmor482", 60000);
    Log(L"  OK");
    if (FileExists(DataDir() + L"\\my.ini")) {
        DeleteFileW((DataDir() + L"\\my.ini").c_str());
        Log(L"  Data\\my.ini silindi (mariadb-install-db tarafindan olusturulmustu)");
    }
}

void TSetupEngine::InstallDBService() {
    Log(L"[7/14] CorvaneDB servisi...");
    if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
        const std::wstring folder = GetMevcutServisYolu();
        if (!folder.empty() && SameFolder(folder, OrtakDataDir())) {
            Log(L"  CorvaneDB servisi zaten CorvaneOrtakData yolunda kurulu");
            Log(L"  Konum: " + folder);
            Log(L"  OK");
            return;
        }
        Log(L"  Eski CorvaneDB servisi tespit edildi: " + folder);
        Log(L"  Durduruluyor...");
        RunCmd(L"net stop CorvaneDB", 15000);
        Sleep(2000);
        Log(L"  Siliniyor...");
        RunCmd(L"sc delete CorvaneDB", 10000);
        Sleep(3000);
        Log(L"  Eski servis kaldırıldı - CorvaneOrtakData yolundan yeniden kurulacak");
    } else {
        Log(L"  CorvaneDB servisi bulunamadı - yeni kurulum");
    }
    const std::wstring server = MariaBin(L"mariadbd.exe");
    if (!FileExists(server))
        throw ESetupError(L"mariadbd.exe bulunamadı: " + server);
    Log(L"  mariadbd --install (CorvaneOrtakData)...");
    RunExe(server, L"--install CorvaneDB --defaults-file=\"" + OrtakDataDir() + L"\\my.ini\"",
           10000);
    Sleep(1000);
    RunCmd(L"sc config CorvaneDB start= auto", 3000);
    Log(L"  Servis başlatılıyor...");
    RunCmd(L"net start CorvaneDB", 15000);
    Log(L"  8sn bekleniyor...");
    Sleep(8000);
    if (RunCmd(L"sc query CorvaneDB", 5000) == 0)
        Log(L"  OK - CorvaneDB çalışıyor (" + OrtakDataDir() + L")");
    else
        Log(L"  ! UYARI: Servis durumu doğrulanamadı");
}
