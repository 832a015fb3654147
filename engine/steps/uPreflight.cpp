// Pre-flight check of the updates: before anything is stopped or changed, prove that the
// installation folder is there and writable, the source is there, and the backup will fit.
#include "uSetupEngine.h"

#include <windows.h>

#include "backup/uBackupUtil.h"
#include "uFileUtil.h"

using namespace BackupUtil;

HANDLE(WINAPI* vpfnWriteTestCreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = ::CreateFileW;
BOOL(WINAPI* vpfnWriteTestWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;

namespace {

const int64_t kFullUpdateMargin = 52428800; // 50 MB for the DLLs and small files
const int64_t kMinimumNeed = 104857600;     // 100 MB

// Creates the test file, writes "test" and CR LF, closes it and deletes it. On failure returns
// false with the system's description of the error. The file goes in every case once it has
// been created: a failed test must not leave its file in the installation folder.
bool WriteTestFile(const std::wstring& path, std::wstring& error) {
    TFileHandle file(vpfnWriteTestCreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        error = SysErrorMessage(::GetLastError());
        return false;
    }
    static const char kContent[] = "test\r\n";
    DWORD written = 0;
    bool ok =
        vpfnWriteTestWriteFile(file.Get(), kContent, sizeof kContent - 1, &written, nullptr) &&
        written == sizeof kContent - 1;
    if (!ok)
        error = SysErrorMessage(::GetLastError());
    if (!file.Close() && ok) {
        error = SysErrorMessage(::GetLastError());
        ok = false;
    }
    ::DeleteFileW(path.c_str());
    return ok;
}

int64_t InstalledTillProgramSize(const std::wstring& installDir) {
    int64_t size = 0;
    if (installDir.empty())
        return 0;
    const std::wstring exe = WithBackslash(installDir) + L"CorvaneZideroZUR.exe";
    if (!FileExists(exe) || !ListedFileSize(exe, size))
        return 0;
    return size;
}

} // namespace

int64_t TSetupEngine::EstimateBackupSize() {
    int64_t total = 0;
    if (FIsFullUpdate) {
        total += InstalledTillProgramSize(FInstallDir);
        if (!FInstallDir.empty())
            total += GetDirSize(WithBackslash(FInstallDir) + L"masaustu");
        total += kFullUpdateMargin;
    } else if (FIsUpdate) {
        total += InstalledTillProgramSize(FInstallDir);
    }
    total *= 2;
    if (total < kMinimumNeed)
        total = kMinimumNeed;
    return total;
}

void TSetupEngine::PreflightCheck() {
    Log(L"[0/14] On kontrol yapiliyor...");

    if (FInstallDir.empty() || !DirectoryExists(FInstallDir))
        throw ESetupError(L"Kurulum dizini bulunamadi: " + FInstallDir);
    // Before the backup and the copy: never through a planted folder, and protected from here.
    ProtectInstallFolders(false);

    const std::wstring testFile = WithBackslash(FInstallDir) + L".write_test_" + LocalStamp14();
    std::wstring writeError;
    if (!WriteTestFile(testFile, writeError))
        throw ESetupError(L"Kurulum dizinine yazma izni yok: " + FInstallDir +
                          L"\r\nProgrami yonetici olarak calistirin.\r\nHata: " + writeError);

    if (FSourceDir.empty() || !DirectoryExists(FSourceDir))
        throw ESetupError(L"Kaynak dizin bulunamadi: " + FSourceDir);

    if (FIsUpdate && !FIsFullUpdate &&
        !FileExists(WithBackslash(FSourceDir) + L"CorvaneZideroZUR.exe"))
        throw ESetupError(L"Kaynak CorvaneZideroZUR.exe bulunamadi");

    if (FIsUpdate) {
        const int64_t needed = EstimateBackupSize();
        const int64_t free = GetFreeSpace(BackupDir());
        Log(L"  Gereken alan: " + std::to_wstring(needed / kMB) + L" MB");
        Log(L"  Bos alan:     " + std::to_wstring(free / kMB) + L" MB");
        if (free < needed)
            throw ESetupError(L"Yetersiz disk alani!\r\n\r\nGereken: " +
                              std::to_wstring(needed / kMB) + L" MB\r\nMevcut bos: " +
                              std::to_wstring(free / kMB) +
                              L" MB\r\n\r\nYedek olusturmak icin disk alani yetmiyor. Lutfen "
                              L"disk alani bosaltin ve tekrar deneyin.");
    }

    Log(L"  OK - On kontrol basarili");
}
