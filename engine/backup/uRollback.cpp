// Rollback: putting the last backup back, automatically after a failed copy or on request.
//
// A restored folder replaces the installed one whole: the backup's copy is made complete beside
// it first and then swapped in, so a copy that fails leaves the installed folder as it was.
// Windows refuses the swap while a file inside the installed folder is open (an Explorer
// window, a scanner, the program whose locked file failed the update); then the folder is
// restored in place, and only a file that stays locked is left as it was, with a warning.
#include "uSetupEngine.h"

#include <windows.h>

#include "backup/uBackupUtil.h"
#include "host/uWin32Seam.h"
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

// Removes a temporary folder of the restore; one that stays is named in the log.
void RemoveNamed(const std::wstring& path, const std::function<void(const std::wstring&)>& log) {
    RemovePath(path);
    if (PathExists(path))
        log(L"  ! Gecici klasor silinemedi: " + path);
}

std::wstring Widen(const char* text) {
    const std::string s = text;
    return std::wstring(s.begin(), s.end());
}

} // namespace

void BackupUtil::ClearRestoreLeftovers(const std::wstring& backupDir,
                                       const std::wstring& installDir,
                                       const std::function<void(const std::wstring&)>& log) {
    if (installDir.empty() || !DirectoryExists(installDir))
        return;
    const std::wstring installPrefix = WithBackslash(installDir);
    for (const TDirEntry& e : ListEntries(backupDir + L"\\*")) {
        if (!e.IsFolder || e.IsLink)
            continue;
        const std::wstring folder = installPrefix + e.Name;
        const std::wstring aside = folder + L".eski";
        RemoveNamed(folder + L".geri", log);
        if (!PathExists(aside))
            continue;
        // Cut off between the two renames of a swap: the installed folder goes back first.
        if (!PathExists(folder) && vpfnMoveFileExW(aside.c_str(), folder.c_str(), 0)) {
            log(L"  Yarim kalan geri yuklemeden klasor eski adina dondu: " + folder);
            continue;
        }
        RemoveNamed(aside, log);
    }
}

void TSetupEngine::RestoreBackup() {
    Log(SEPARATOR_LINE);
    Log(L"ROLLBACK BASLATILIYOR");
    Log(SEPARATOR_LINE);

    // A backup that a cut-off update left aside is restored like one in its place.
    std::wstring note;
    const std::wstring dir = SettleBackup(BackupDir(), &note);
    if (!note.empty())
        Log(note);
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
    const auto log = [this](const std::wstring& line) { Log(line); };
    ClearRestoreLeftovers(dir, FInstallDir, log);

    // What can be deleted goes, then the backup's copy goes over it, retrying locked files.
    auto restoreInPlace = [&](const std::wstring& src, const std::wstring& dst) {
        DeleteDirRecursive(dst);
        CopyDirWithRetry(src, dst, 5);
    };
    // The backup's copy goes into <folder>.geri first; only then is the installed folder moved
    // to <folder>.eski and the copy moved into its place.
    auto restoreFolder = [&](const std::wstring& name, const std::wstring& src,
                             const std::wstring& dst) {
        const std::wstring staging = dst + L".geri";
        const std::wstring aside = dst + L".eski";
        if (PathExists(staging) || PathExists(aside)) {
            // Named by the clearing above; the swap would need their names.
            restoreInPlace(src, dst);
            return;
        }
        try {
            CopyDirWithRetry(src, staging, 5);
        } catch (...) {
            RemoveNamed(staging, log);
            throw;
        }
        if (!DirectoryExists(staging))
            throw ESetupError(L"Klasor olusturulamadi: " + staging);

        const bool hadTarget = PathExists(dst);
        if (hadTarget && !vpfnMoveFileExW(dst.c_str(), aside.c_str(), 0)) {
            Log(L"  ! " + name + L" klasoru tasinamadi (" + SysErrorMessage(::GetLastError()) +
                L"), yerinde geri yukleniyor");
            RemoveNamed(staging, log);
            restoreInPlace(src, dst);
            return;
        }
        if (!vpfnMoveFileExW(staging.c_str(), dst.c_str(), 0)) {
            Log(L"  ! " + name + L" klasoru tasinamadi (" + SysErrorMessage(::GetLastError()) +
                L"), yerinde geri yukleniyor");
            if (hadTarget && !vpfnMoveFileExW(aside.c_str(), dst.c_str(), 0))
                Log(L"  ! Kurulu klasor su adla kaldi: " + aside);
            RemoveNamed(staging, log);
            restoreInPlace(src, dst);
            return;
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
                restoreFolder(e.Name, src, dst);
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
