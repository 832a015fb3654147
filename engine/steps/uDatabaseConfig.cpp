// Shared data folders and the database server's my.ini.
#include <windows.h>

#include "uFileUtil.h"
#include "uSetupEngine.h"

namespace {
std::wstring WithForwardSlashes(std::wstring path) {
    for (auto& c : path)
        if (c == L'\\')
            c = L'/';
    return path;
}
} // namespace

void TSetupEngine::CreateFolders() {
    Log(L"[3/14] Klasörler oluşturuluyor...");
    ForceDirectories(OrtakDataDir());
    ForceDirectories(DataDir());
    ForceDirectories(MariaDir() + L"\\logs");
    ForceDirectories(FInstallDir + L"\\logs");
    Log(L"  OrtakData: " + OrtakDataDir());
    Log(L"  OK");
}

void TSetupEngine::WriteMyIni() {
    Log(L"[4/14] my.ini...");
    // A registered database keeps the configuration it was set up with.
    if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
        Log(L"  CorvaneDB zaten çalışıyor - my.ini yazilmiyor");
        Log(L"  (Mevcut MariaDB ayarlari kullanilacak)");
        return;
    }
    WriteTextFile(OrtakDataDir() + L"\\my.ini",
                  {L"[mysqld]", L"datadir=" + WithForwardSlashes(DataDir()), L"port=3307",
                   L"bind-address=0.0.0.0", L"character-set-server=utf8mb4",
                   L"collation-server=utf8mb4_turkish_ci", L"innodb_buffer_pool_size=128M",
                   L"max_connections=50", L"lower_case_table_names=1", L"skip-name-resolve",
                   L"[client]", L"port=3307"});
    // Other my.ini files that the database programs would find first and obey instead.
    if (FileExists(MariaDir() + L"\\my.ini")) {
        DeleteFileW((MariaDir() + L"\\my.ini").c_str());
        Log(L"  mariadb\\my.ini silindi (cakisma onleme)");
    }
    if (FileExists(DataDir() + L"\\my.ini")) {
        DeleteFileW((DataDir() + L"\\my.ini").c_str());
        Log(L"  Data\\my.ini silindi (cakisma onleme)");
    }
    Log(L"  OK");
}
