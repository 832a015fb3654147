// Rollback: putting the last backup back, automatically after a failed copy or on request.
//
// A restored folder replaces the installed one whole: the backup's copy is made complete (and
// flushed) beside it first and then swapped in, so a copy that fails leaves the installed folder
// as it was. Windows refuses the swap while a file inside the installed folder is open (an
// Explorer window, a scanner, the program whose locked file failed the update), and the copy
// beside it needs room; then the folder is restored in place: every file of the backup is
// copied over first, carrying on past one that stays locked, and only then is what the backup
// does not hold removed. A restore never stops half-way: every file is tried, every failure is
// named, and it fails at the end when a program file is among them.
#include "uSetupEngine.h"

#include <windows.h>

#include <algorithm>

#include "backup/uBackupUtil.h"
#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uInstallation.h"
#include "uWin32Seam.h"

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
        DeleteDirRecursive(path);
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

// Files inside a restored folder whose failure fails the restore: without them the
// installation does not start.
bool IsProgramFile(const std::wstring& name) {
    return HasExtension(name, L".exe") || HasExtension(name, L".dll");
}

// What a backup holds by design; anything else found in the backup folder is not restored.
bool IsBackedUpEntry(const TDirEntry& e) {
    if (e.IsFolder)
        return !e.IsLink && SameTextAscii(e.Name, L"masaustu");
    return SameTextAscii(e.Name, L"CorvaneZideroZUR.exe") || HasExtension(e.Name, L".dll") ||
           SameTextAscii(e.Name, L"version.json") || SameTextAscii(e.Name, L"web_resources.res");
}

struct TFailure {
    std::wstring Path;
    std::wstring Message;
    bool Program;
};

const int kFileAttempts = 5;

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
        const std::wstring staging = folder + L".geri";
        const std::wstring aside = folder + L".eski";
        // Cut between the two renames of a swap: the copy beside it was complete and flushed
        // before the installed folder was set aside, so the swap is completed.
        if (!PathExists(folder) && PathExists(aside) && PathExists(staging) &&
            vpfnMoveFileExW(staging.c_str(), folder.c_str(), MOVEFILE_WRITE_THROUGH)) {
            log(L"  Yarim kalan geri yukleme tamamlandi: " + folder);
            RemoveNamed(aside, log);
            continue;
        }
        RemoveNamed(staging, log);
        if (!PathExists(aside))
            continue;
        if (!PathExists(folder) &&
            vpfnMoveFileExW(aside.c_str(), folder.c_str(), MOVEFILE_WRITE_THROUGH)) {
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
    // A folder that is a link or that an ordinary user made counts as no backup at all.
    if (!DirectoryExists(dir) || !IsTrustedStoreFolder(dir))
        throw ESetupError(L"Yedek klasoru bulunamadi: " + dir);
    if (!IsCompleteBackup(dir))
        throw ESetupError(L"Yedek bilgi dosyasi bulunamadi (backup.info). Yedek bozuk olabilir.");
    // Without the installation folder the targets would be relative to the current drive's
    // root, or a partial installation would be made up from the backup alone.
    if (FInstallDir.empty() || !DirectoryExists(FInstallDir))
        throw ESetupError(L"Kurulum dizini bulunamadi: " + FInstallDir);

    Log(L"Yedekten geri yukleniyor: " + dir);
    const std::wstring installPrefix = WithBackslash(FInstallDir);
    const auto log = [this](const std::wstring& line) { Log(line); };
    ClearRestoreLeftovers(dir, FInstallDir, log);

    // Files that could not be put back or removed, by their path below the installation.
    std::vector<TFailure> failures;
    // One file with up to five tries; a failure is recorded, never raised.
    auto copyFile = [&](const std::wstring& src, const std::wstring& dst, const std::wstring& rel,
                        const std::wstring& name, std::vector<TFailure>& into) {
        for (int attempt = 1; attempt <= kFileAttempts; ++attempt) {
            try {
                CopyOneFile(src, dst);
                return;
            } catch (const ESetupError& e) {
                if (SameFileContents(src, dst)) {
                    Log(L"    " + name + L": kullanimda, yedektekiyle ayni");
                    return;
                }
                if (attempt < kFileAttempts) {
                    Log(L"    ! " + name + L" kilitli, tekrar (" + std::to_wstring(attempt) + L"/" +
                        std::to_wstring(kFileAttempts) + L")...");
                    Sleep(2000);
                } else {
                    Log(L"    ! " + name + L": " + e.Message());
                    into.push_back({rel, e.Message(), IsProgramFile(name)});
                }
            }
        }
    };
    std::function<void(const std::wstring&, const std::wstring&, const std::wstring&,
                       std::vector<TFailure>&)>
        copyTree = [&](const std::wstring& src, const std::wstring& dst, const std::wstring& rel,
                       std::vector<TFailure>& into) {
            if (!ForceDirectories(dst)) {
                Log(L"    ! " + rel + L": klasor olusturulamadi");
                into.push_back({rel, L"klasor olusturulamadi", false});
                return;
            }
            for (const TDirEntry& e : ListEntries(src + L"\\*")) {
                if (e.IsLink) {
                    Log(L"    ! " + e.Name + L": klasör bağlantısı, kopyalanmadı");
                    continue;
                }
                const std::wstring from = src + L"\\" + e.Name;
                const std::wstring to = dst + L"\\" + e.Name;
                if (e.IsFolder)
                    copyTree(from, to, rel + L"\\" + e.Name, into);
                else
                    copyFile(from, to, rel + L"\\" + e.Name, e.Name, into);
            }
        };
    // What the installed folder holds and the backup does not, after the copy.
    std::function<void(const std::wstring&, const std::wstring&, const std::wstring&)>
        removeExtras =
            [&](const std::wstring& src, const std::wstring& dst, const std::wstring& rel) {
                for (const TDirEntry& e : ListEntries(dst + L"\\*")) {
                    const std::wstring from = src + L"\\" + e.Name;
                    const std::wstring to = dst + L"\\" + e.Name;
                    const std::wstring path = rel + L"\\" + e.Name;
                    if (PathExists(from)) {
                        if (e.IsFolder && !e.IsLink && DirectoryExists(from))
                            removeExtras(from, to, path);
                        continue;
                    }
                    RemovePath(to);
                    if (PathExists(to)) {
                        Log(L"    ! " + e.Name + L": silinemedi");
                        failures.push_back({path, L"silinemedi", IsProgramFile(e.Name)});
                    }
                }
            };
    // Every file of the backup over the installed folder, then away with what it does not hold.
    auto restoreInPlace = [&](const std::wstring& name, const std::wstring& src,
                              const std::wstring& dst) {
        copyTree(src, dst, name, failures);
        if (DirectoryExists(dst))
            removeExtras(src, dst, name);
    };
    auto moveFolder = [&](const std::wstring& from, const std::wstring& to, DWORD& error) {
        return MoveWithRetry(
            from, to, [this](int ms) { Sleep(ms); }, error);
    };
    // The backup's copy goes into <folder>.geri first; only once it is complete and on the
    // disk is the installed folder moved to <folder>.eski and the copy moved into its place.
    auto restoreFolder = [&](const std::wstring& name, const std::wstring& src,
                             const std::wstring& dst) {
        const std::wstring staging = dst + L".geri";
        const std::wstring aside = dst + L".eski";
        auto fallBack = [&](const std::wstring& why) {
            Log(L"  ! " + name + L" " + why + L", yerinde geri yukleniyor");
            restoreInPlace(name, src, dst);
        };
        if (PathExists(staging) || PathExists(aside)) {
            // Named by the clearing above; the swap would need their names.
            restoreInPlace(name, src, dst);
            return;
        }
        const int64_t needed = GetDirSize(src);
        const int64_t free = GetFreeSpace(dst);
        if (free < needed) {
            fallBack(L"gecici kopyasi icin yer yok (" + std::to_wstring(needed / kMB) +
                     L" MB gerekli)");
            return;
        }
        std::vector<TFailure> stagingFailures;
        copyTree(src, staging, name, stagingFailures);
        if (!stagingFailures.empty() || !DirectoryExists(staging) || !FlushTree(staging, log)) {
            RemoveNamed(staging, log);
            fallBack(L"gecici kopyasi tamamlanamadi");
            return;
        }

        const bool hadTarget = PathExists(dst);
        DWORD error = ERROR_SUCCESS;
        if (hadTarget && !moveFolder(dst, aside, error)) {
            RemoveNamed(staging, log);
            fallBack(L"klasoru tasinamadi (" + SysErrorMessage(error) + L")");
            return;
        }
        if (!moveFolder(staging, dst, error)) {
            const std::wstring why = SysErrorMessage(error);
            if (hadTarget && !moveFolder(aside, dst, error))
                Log(L"  ! Kurulu klasor su adla kaldi: " + aside);
            RemoveNamed(staging, log);
            fallBack(L"klasoru tasinamadi (" + why + L")");
            return;
        }
        if (hadTarget) {
            RemovePath(aside);
            if (PathExists(aside))
                Log(L"  ! Eski klasor silinemedi: " + aside);
        }
    };

    // Every entry is tried; the first failure is the restore's error, the others are logged.
    std::wstring firstError;
    for (const TDirEntry& e : ListEntries(dir + L"\\*")) {
        if (SameTextAscii(e.Name, kInfoName) || SameTextAscii(e.Name, kInfoTempName) ||
            SameTextAscii(e.Name, kUpdateMarkerName) || SameTextAscii(e.Name, kVersionName))
            continue;
        const std::wstring src = dir + L"\\" + e.Name;
        const std::wstring dst = installPrefix + e.Name;
        if (e.IsLink) {
            // Never put there by a backup; what it points to is not ours to copy.
            Log(L"  ! " + e.Name + L": klasor baglantisi, geri yuklenmedi");
            continue;
        }
        if (!IsBackedUpEntry(e)) {
            Log(L"  ! " + e.Name + L": yedege ait degil, geri yuklenmedi");
            continue;
        }
        if (e.IsFolder) {
            Log(L"  [klasor] " + e.Name);
            const size_t before = failures.size();
            restoreFolder(e.Name, src, dst);
            const auto program =
                std::find_if(failures.begin() + static_cast<long>(before), failures.end(),
                             [](const TFailure& f) { return f.Program; });
            if (program != failures.end() && firstError.empty()) {
                const std::wstring file = program->Path.substr(program->Path.rfind(L'\\') + 1);
                firstError = L"Klasor geri yuklenemedi (" + e.Name +
                             L"): Kritik dosya kopyalanamadı: " + file + L" - " + program->Message;
            }
        } else {
            try {
                CopyOneFile(src, dst);
                Log(L"  [geri] " + e.Name);
            } catch (const ESetupError& err) {
                // A program that holds the file open (a reporting tool with the DLL loaded)
                // does not matter when the file is already what the backup holds.
                if (SameFileContents(src, dst)) {
                    Log(L"  [geri] " + e.Name + L" (kullanimda, yedektekiyle ayni)");
                    continue;
                }
                Log(L"  ! " + e.Name + L" geri yuklenemedi: " + err.Message());
                failures.push_back({e.Name, err.Message(), true});
                if (firstError.empty())
                    firstError = L"Dosya geri yuklenemedi (" + e.Name + L"): " + err.Message();
            }
        }
    }
    if (!failures.empty()) {
        std::wstring names;
        for (const TFailure& f : failures)
            names += (names.empty() ? L"" : L", ") + f.Path;
        Log(L"  ! Geri yuklenemeyen dosyalar: " + names);
    }
    if (!firstError.empty())
        throw ESetupError(firstError);

    Log(SEPARATOR_LINE);
    Log(L"ROLLBACK TAMAMLANDI");
    Log(SEPARATOR_LINE);
    // The entry names the version whose files are back.
    if (const std::wstring version = ReadBackupVersion(dir); !version.empty())
        Installation::WriteDisplayVersion(version);
    // The installation is one whole version again: the next update may take a new backup.
    ::DeleteFileW((dir + L"\\" + kUpdateMarkerName).c_str());
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
        std::wstring note;
        SettleBackup(BackupDir(), &note);
        if (!note.empty())
            Log(note);
        if (!BackupExists())
            throw ESetupError(L"Geri yuklenecek yedek bulunamadi.");
        Progress(30, L"Dosyalar geri yukleniyor...");
        RestoreBackup();
        EnsureAppService(false);
        Progress(100, L"Geri yukleme tamamlandi");
        Log(L"");
        Log(L"Onceki surume basariyla donuldu.");
    } catch (const ESetupError& e) {
        success = false;
        message = e.Message();
    } catch (const std::exception& e) {
        success = false;
        message = ErrorText(e);
    }
    try {
        if (!success)
            Log(L"ROLLBACK HATASI: " + message);
        // One report, and none into a window that is tearing its engine down.
        ReportFinished(success ? TRunResult::Succeeded : TRunResult::Failed, message);
    } catch (...) {
        // The receiver's own failure has nowhere to go on this thread; it must not end the
        // process.
    }
}
