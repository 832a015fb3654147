#pragma once
// Helpers of the backup store, the rollback and the pre-flight check.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uWinHandles.h"

namespace BackupUtil {

const int64_t kMB = 1048576;

// The general helpers the backup code uses, under the names it knows them by.
using ::ListedFileSize;
using ::ListEntries;
using ::TDirEntry;
using ::TFileHandle;
using ::TFindHandle;
using ::WithBackslash;
using EngineRules::DrivePart;
using EngineRules::HasExtension;
using EngineRules::SameTextAscii;

inline std::wstring TwoDigits(unsigned v) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + (v / 10) % 10)) +
           static_cast<wchar_t>(L'0' + v % 10);
}

// Local time as yyyymmddhhnnss (fourteen digits).
inline std::wstring LocalStamp14() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return std::to_wstring(t.wYear) + TwoDigits(t.wMonth) + TwoDigits(t.wDay) + TwoDigits(t.wHour) +
           TwoDigits(t.wMinute) + TwoDigits(t.wSecond);
}

// The backup store's folders: the backup itself, the previous backup while a new one is taken
// (set aside), and a new backup taken beside a previous one that could not be set aside.
const wchar_t* const kPreviousSuffix = L".onceki";
const wchar_t* const kFreshSuffix = L".yeni";
const wchar_t* const kInfoName = L"backup.info";
// backup.info is written under this name, flushed, and only then moved into place.
const wchar_t* const kInfoTempName = L"backup.info.yaziliyor";
// In the backup while the update it was taken for replaces the installed files: an update that
// finds it keeps that backup, since the installation is then a mix of two versions.
const wchar_t* const kUpdateMarkerName = L"guncelleme.suruyor";
// The uninstall entry's DisplayVersion when the backup was taken: a restore puts it back.
const wchar_t* const kVersionName = L"surum.info";
std::wstring ReadBackupVersion(const std::wstring& dir);

// What backup.info says. Complete: both keys the wizard reads are there and the last line
// ended, so that neither an empty file nor one cut short by a power loss counts as a backup.
struct TBackupInfo {
    bool Read = false;
    bool Complete = false;
    std::wstring Tarih, Mod;
    int64_t Boyut = 0;
    // When the backup was taken, for choosing the newest of several: TARIH's digits, then the
    // time backup.info was written.
    int64_t Stamp = 0;
    uint64_t WrittenAt = 0;
};
TBackupInfo ReadBackupInfo(const std::wstring& dir);

// A folder that holds a complete backup: its backup.info, written last, is whole.
bool IsCompleteBackup(const std::wstring& dir);

// Whether a folder of the store may be used at all: not a link, and owned by SYSTEM,
// Administrators or TrustedInstaller (anything else an ordinary user may have made or planted).
// why receives the reason for the log when it may not.
bool IsTrustedStoreFolder(const std::wstring& dir, std::wstring* why = nullptr);
// A trusted folder with a complete backup: the only kind that is ever restored or kept.
bool IsUsableBackup(const std::wstring& dir);

// Deletes a backup folder, its backup.info first, so that what is left of a half-deleted
// backup never counts as one. False (and nothing else deleted) when backup.info stays; a link
// at the name goes by itself.
bool DiscardBackup(const std::wstring& dir);

// Moves a folder with write-through, trying a few times: a scanner may hold a file in it for
// a moment. error receives the last failure.
bool MoveWithRetry(const std::wstring& from, const std::wstring& to,
                   const std::function<void(int)>& sleep, DWORD& error);

// Flushes every file of a copied tree; one that cannot be flushed is named in the log, as a
// file that could not be copied is. False when any could not.
bool FlushTree(const std::wstring& dir, const std::function<void(const std::wstring&)>& log);

// Where the complete backup of the store at dir is, after putting the newest complete one that
// an interrupted run left in a side folder in place. Returns dir when there is no complete
// backup at all. note receives a line for the log when something was moved or a folder of the
// store was not trusted.
std::wstring SettleBackup(const std::wstring& dir, std::wstring* note = nullptr);

// Folders that an interrupted restore left in the installation folder (<name>.geri, a copy
// half made; <name>.eski, the installed folder set aside) for each folder of the backup: a swap
// cut between its two renames is completed, the rest is deleted. Whatever stays is named in
// the log.
void ClearRestoreLeftovers(const std::wstring& backupDir, const std::wstring& installDir,
                           const std::function<void(const std::wstring&)>& log);

} // namespace BackupUtil

// The calls of the pre-flight write test, reached through pointers that tests can swap to
// reach the failures a healthy folder never gives (access denied, a full disk).
extern HANDLE(WINAPI* vpfnWriteTestCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                DWORD, HANDLE);
extern BOOL(WINAPI* vpfnWriteTestWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
