// Rollback: putting the last backup back, automatically after a failed copy or on request.
//
// A restored folder replaces the installed one whole, but the installed folder is only set
// aside once the backup's copy of it is complete beside it; a copy that fails leaves the
// installed folder as it was.
#include "uSetupEngine.h"

#include <windows.h>

#include "backup/uBackupUtil.h"
#include "uFileUtil.h"

using namespace BackupUtil;

namespace {

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes a folder tree or a single file.
void RemovePath(const std::wstring& path) {
    const DWORD attrs = ::GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return;
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        TSetupEngine::DeleteDirRecursive(path);
    } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    }
}

std::wstring Widen(const char* text) {
    const std::string s = text;
    return std::wstring(s.begin(), s.end());
}

} // namespace

void TSetupEngine::RestoreBackup() {
    Log(SEPARATOR_LINE);
    Log(L"ROLLBACK BASLATILIYOR");
    Log(SEPARATOR_LINE);

    const std::wstring dir = BackupDir();
    if (!DirectoryExists(dir))
        throw ESetupError(L"Yedek klasoru bulunamadi: " + dir);
    if (!FileExists(dir + L"\\backup.info"))
        throw ESetupError(L"Yedek bilgi dosyasi bulunamadi (backup.info). Yedek bozuk olabilir.");
    // Without the installation folder the targets would be relative to the current drive's
    // root, or a partial installation would be made up from the backup alone.
    if (FInstallDir.empty() || !DirectoryExists(FInstallDir))
        throw ESetupError(L"Kurulum dizini bulunamadi: " + FInstallDir);

    Log(L"Yedekten geri yukleniyor: " + dir);
    const std::wstring installPrefix = WithBackslash(FInstallDir);

    // The backup's copy goes into <folder>.geri first; only then is the installed folder moved
    // to <folder>.eski and the copy moved into its place.
    auto restoreFolder = [&](const std::wstring& src, const std::wstring& dst) {
        const std::wstring staging = dst + L".geri";
        const std::wstring aside = dst + L".eski";
        RemovePath(staging); // left over from an interrupted restore
        RemovePath(aside);
        if (PathExists(staging) || PathExists(aside))
            throw ESetupError(L"Gecici klasor silinemedi: " +
                              (PathExists(staging) ? staging : aside));
        try {
            CopyDirWithRetry(src, staging, 5);
        } catch (...) {
            RemovePath(staging);
            throw;
        }
        if (!DirectoryExists(staging))
            throw ESetupError(L"Klasor olusturulamadi: " + staging);

        const bool hadTarget = PathExists(dst);
        if (hadTarget && !::MoveFileExW(dst.c_str(), aside.c_str(), 0)) {
            const DWORD err = ::GetLastError();
            RemovePath(staging);
            throw ESetupError(SysErrorMessage(err));
        }
        if (!::MoveFileExW(staging.c_str(), dst.c_str(), 0)) {
            const DWORD err = ::GetLastError();
            if (hadTarget)
                ::MoveFileExW(aside.c_str(), dst.c_str(), 0);
            RemovePath(staging);
            throw ESetupError(SysErrorMessage(err));
        }
        if (hadTarget) {
            RemovePath(aside);
            if (PathExists(aside))
                Log(L"  ! Eski klasor silinemedi: " + aside);
        }
    };

    for (const TDirEntry& e : ListEntries(dir + L"\\*")) {
        if (SameTextAscii(e.Name, L"backup.info"))
            continue;
        const std::wstring src = dir + L"\\" + e.Name;
        const std::wstring dst = installPrefix + e.Name;
        if (e.IsLink) {
            // Never put there by a backup; what it points to is not ours to copy.
            Log(L"  ! " + e.Name + L": klasor baglantisi, geri yuklenmedi");
            continue;
        }
        if (e.IsFolder) {
            Log(L"  [klasor] " + e.Name);
            try {
                restoreFolder(src, dst);
            } catch (const ESetupError& err) {
                throw ESetupError(L"Klasor geri yuklenemedi (" + e.Name + L"): " + err.Message());
            }
        } else {
            try {
                CopyOneFile(src, dst);
            } catch (const ESetupError& err) {
                throw ESetupError(L"Dosya geri yuklenemedi (" + e.Name + L"): " + err.Message());
            }
            Log(L"  [geri] " + e.Name);
        }
    }

    Log(SEPARATOR_LINE);
    Log(L"ROLLBACK TAMAMLANDI");
    Log(SEPARATOR_LINE);
}

void TSetupEngine::ExecuteRollback() {
    FCancelled = false;
    bool success = true;
    std::wstring message;
    try {
        Log(L"Geri Yukleme baslatiliyor...");
        Progress(5, L"Islemler durduruluyor...");
        StopProcesses();
        Progress(20, L"Yedek dogrulaniyor...");
        if (!BackupExists())
            throw ESetupError(L"Geri yuklenecek yedek bulunamadi.");
        Progress(30, L"Dosyalar geri yukleniyor...");
        RestoreBackup();
        EnsureAppService();
        Progress(100, L"Geri yukleme tamamlandi");
        Log(L"");
        Log(L"Onceki surume basariyla donuldu.");
    } catch (const ESetupError& e) {
        success = false;
        message = e.Message();
    } catch (const std::exception& e) {
        success = false;
        message = Widen(e.what());
    }
    try {
        if (!success)
            Log(L"ROLLBACK HATASI: " + message);
        // One report, and none into a window that is tearing its engine down.
        ReportFinished(success, message);
    } catch (...) {
        // The receiver's own failure has nowhere to go on this thread; it must not end the
        // process.
    }
}
