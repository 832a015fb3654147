// Copying the application's files: new installation, full update and the till-program-only
// file update.
#include <windows.h>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uSetupEngine.h"

namespace {

using EngineRules::HasExtension;
using EngineRules::SameTextAscii;

// Programs and libraries: without them the installation does not start, so their failure is
// fatal, where any other file is only reported.
bool IsCriticalFile(const std::wstring& name) {
    return HasExtension(name, L".exe") || HasExtension(name, L".dll");
}

} // namespace

void TSetupEngine::CopyFiles() {
    Log(L"[2/14] Dosyalar kopyalanıyor...");
    Log(L"  Kaynak: " + FSourceDir);
    // A new installation makes its folders protected; an update checked them before its backup.
    if (!FIsUpdate)
        ProtectInstallFolders(true);
    ForceDirectories(FInstallDir);
    const std::wstring sourcePrefix = FSourceDir + L"\\";

    // A top-level file is copied once; programs and libraries that fail stop the step.
    auto copyTopLevelFile = [&](const std::wstring& name) {
        try {
            CopyOneFile(sourcePrefix + name, FInstallDir + L"\\" + name);
        } catch (const ESetupError& e) {
            if (IsCriticalFile(name))
                throw ESetupError(L"Kritik dosya kopyalanamadı: " + name + L" - " + e.Message());
            Log(L"  ! " + name + L": " + e.Message());
        }
    };

    if (FIsUpdate && FIsFullUpdate) {
        Log(L"  [TAM GÜNCELLEME] Dosyalar kopyalanıyor...");
        Log(L"  Korunan: Data, mariadb, config dosyalari");
        for (const TDirEntry& entry : ListEntries(FSourceDir + L"\\*")) {
            if (SameTextAscii(entry.Name, L"Data") || SameTextAscii(entry.Name, L"mariadb") ||
                SameTextAscii(entry.Name, L"pos-config.json"))
                continue;
            if (entry.IsFolder) {
                Log(L"  [klasor] " + entry.Name);
                CopyDirWithRetry(sourcePrefix + entry.Name, FInstallDir + L"\\" + entry.Name, 5);
            } else {
                copyTopLevelFile(entry.Name);
            }
        }
        Log(L"  OK");
        return;
    }

    if (FIsUpdate) {
        Log(L"  [DOSYA GÜNCELLEME] CorvaneZideroZUR.exe kopyalanıyor...");
        const std::wstring source = sourcePrefix + L"CorvaneZideroZUR.exe";
        const std::wstring target = FInstallDir + L"\\CorvaneZideroZUR.exe";
        if (!FileExists(source))
            throw ESetupError(L"Kaynak CorvaneZideroZUR.exe bulunamadı: " + source);
        bool copied = false;
        for (int attempt = 1; attempt <= 5 && !copied; ++attempt) {
            try {
                CopyOneFile(source, target);
                Log(L"  CorvaneZideroZUR.exe kopyalandı");
                copied = true;
            } catch (const ESetupError& e) {
                if (attempt == 5)
                    throw ESetupError(L"CorvaneZideroZUR.exe kopyalanamadı (5 deneme): " +
                                      e.Message());
                Log(L"  ! EXE kilitli, tekrar deneniyor (" + std::to_wstring(attempt) + L"/5)...");
                Sleep(attempt * 2000);
            }
        }
        if (!copied || !FileExists(target))
            throw ESetupError(L"CorvaneZideroZUR.exe kopyalama başarısız!");
        int64_t sourceSize = 0, targetSize = 0;
        ListedFileSize(source, sourceSize);
        ListedFileSize(target, targetSize);
        if (sourceSize != targetSize)
            throw ESetupError(L"EXE boyut uyuşmazlığı!");
        Log(L"  EXE doğrulandı (" + std::to_wstring(targetSize / 1024) + L" KB)");
        Log(L"  OK");
        return;
    }

    for (const TDirEntry& entry : ListEntries(FSourceDir + L"\\*")) {
        if (SameTextAscii(entry.Name, L"Data"))
            continue;
        if (SameTextAscii(entry.Name, L"mariadb")) {
            if (!entry.IsFolder)
                continue;
            // A running database keeps the programs it was started from.
            if (RunCmd(L"sc query CorvaneDB", 5000) == 0) {
                Log(L"  [klasor] mariadb -> atlandı (CorvaneDB çalışıyor)");
            } else {
                Log(L"  [klasor] mariadb -> " + MariaDir());
                ForceDirectories(OrtakDataDir());
                CopyDirRecursive(sourcePrefix + entry.Name, MariaDir());
            }
            continue;
        }
        if (entry.IsFolder) {
            Log(L"  [klasor] " + entry.Name);
            CopyDirRecursive(sourcePrefix + entry.Name, FInstallDir + L"\\" + entry.Name);
        } else {
            copyTopLevelFile(entry.Name);
        }
    }
    Log(L"  OK");
}
