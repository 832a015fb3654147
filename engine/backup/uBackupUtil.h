#pragma once
// Helpers of the backup store, the rollback and the pre-flight check.
#include <windows.h>

#include <cstdint>
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

} // namespace BackupUtil

// The calls of the pre-flight write test, reached through pointers that tests can swap to
// reach the failures a healthy folder never gives (access denied, a full disk).
extern HANDLE(WINAPI* vpfnWriteTestCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                DWORD, HANDLE);
extern BOOL(WINAPI* vpfnWriteTestWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
