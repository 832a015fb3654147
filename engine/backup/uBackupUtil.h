#pragma once
// Helpers of the backup store, the rollback and the pre-flight check.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/uWinHandles.h"
#include "uEngineRules.h"
#include "uFileUtil.h"

namespace BackupUtil {

const int64_t kMB = 1048576;

// The general helpers the backup code uses, under the names it knows them by.
using EngineRules::DrivePart;
using EngineRules::HasExtension;
using EngineRules::SameTextAscii;
using ::ListEntries;
using ::ListedFileSize;
using ::TDirEntry;
using ::TFileHandle;
using ::TFindHandle;
using ::WithBackslash;

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

// A folder that holds a complete backup: its backup.info is written last.
bool IsCompleteBackup(const std::wstring& dir);

// Where the complete backup of the store at dir is, after putting one that an interrupted run
// left in a side folder back in place when the backup folder itself holds none (or an older
// one, for a new backup that waited beside it). Returns dir when there is no complete backup at
// all. note receives a line for the log when something was moved.
std::wstring SettleBackup(const std::wstring& dir, std::wstring* note = nullptr);

// Folders that an interrupted restore left in the installation folder (<name>.geri, a copy
// half made; <name>.eski, the installed folder set aside) for each folder of the backup: the
// set-aside one goes back under its name when that is free, the rest is deleted. Whatever
// stays is named in the log.
void ClearRestoreLeftovers(const std::wstring& backupDir, const std::wstring& installDir,
                           const std::function<void(const std::wstring&)>& log);

} // namespace BackupUtil

// The calls of the pre-flight write test, reached through pointers that tests can swap to
// reach the failures a healthy folder never gives (access denied, a full disk).
extern HANDLE(WINAPI* vpfnWriteTestCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                DWORD, HANDLE);
extern BOOL(WINAPI* vpfnWriteTestWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
