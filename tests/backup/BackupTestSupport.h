#pragma once
// Shared fixture of the backup, pre-flight and rollback tests: an engine on the real host whose
// sleeps, commands and programs are only recorded (files stay real), its events in a journal,
// and the prefix's D: and E: folders cleaned before and after each test.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../engine/EngineAccess.h"
#include "../engine/Journal.h"
#include "../engine/TestFiles.h"
#include "MachineProbe.h"
#include "host/uWinHost.h"
#include "uWin32Seam.h"

// The real file operations; sleeps, commands and programs recorded in the journal, and the
// free space scripted when a test says so.
class TBackupHost : public TWinHost {
public:
    explicit TBackupHost(TJournal& journal) : FJournal(journal) {}
    void Sleep(int ms) override { FJournal.Add(L"sleep|" + std::to_wstring(ms)); }
    int RunCmd(const std::wstring& cmd, int timeoutMs) override {
        FJournal.Add(L"cmd|" + cmd + L"|" + std::to_wstring(timeoutMs));
        return 0;
    }
    int RunExe(const std::wstring& exe, const std::wstring& args, int timeoutMs) override {
        FJournal.Add(L"exe|" + exe + L"|" + args + L"|" + std::to_wstring(timeoutMs));
        return 0;
    }
    int64_t GetFreeSpace(const std::wstring& path) override {
        FJournal.Add(L"freespace|" + path);
        return FreeSpace >= 0 ? FreeSpace : TWinHost::GetFreeSpace(path);
    }
    // Negative: ask the system.
    int64_t FreeSpace = -1;

private:
    TJournal& FJournal;
};

// Writes a file (and its folder); the content is the bytes given.
inline void Put(const std::wstring& path, const std::string& bytes) {
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot write test file";
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

// A file of the given size without writing its bytes (sparse where the file system allows).
inline void PutSized(const std::wstring& path, int64_t size) {
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER pos;
    pos.QuadPart = size;
    SetFilePointerEx(h, pos, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);
}

// A file held open without sharing, as a running program or a scanner would: copies from or
// onto it fail with the system's sharing-violation text.
class TLockedFile {
public:
    explicit TLockedFile(const std::wstring& path)
        : FHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              0, nullptr)) {}
    ~TLockedFile() {
        if (FHandle != INVALID_HANDLE_VALUE)
            CloseHandle(FHandle);
    }
    TLockedFile(const TLockedFile&) = delete;
    TLockedFile& operator=(const TLockedFile&) = delete;
    bool Locked() const { return FHandle != INVALID_HANDLE_VALUE; }

private:
    HANDLE FHandle;
};

// Windows refuses to rename a folder while a file inside it is open; Wine renames it. The seam
// refuses like Windows for the folders a test names.
class TRefusedMoves {
public:
    explicit TRefusedMoves(std::vector<std::wstring> sources) {
        Sources() = std::move(sources);
        vpfnMoveFileExW = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            for (const auto& refused : Sources())
                if (_wcsicmp(from, refused.c_str()) == 0) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return FALSE;
                }
            return MoveFileExW(from, to, flags);
        };
    }
    ~TRefusedMoves() {
        ResetWin32Seam();
        Sources().clear();
    }
    static std::vector<std::wstring>& Sources() {
        static std::vector<std::wstring> sources;
        return sources;
    }
};

inline std::wstring SharingViolationText() {
    return SysErrorMessage(ERROR_SHARING_VIOLATION);
}

const std::wstring kInstall = L"D:\\CorvaneZideroZur";
const std::wstring kBackup = L"D:\\CorvaneUpdateYedek";
const std::wstring kSource = L"D:\\kaynak";
const std::wstring kSep = L"========================================";

class BackupFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Clean();
        auto h = std::make_unique<TBackupHost>(journal);
        host = h.get();
        engine = std::make_unique<TSetupEngine>(std::move(h));
        BindEvents(*engine, journal);
        engine->SetInstallDir(kInstall);
        engine->SetSourceDir(kSource);
        MakeDirs(kInstall);
        MakeDirs(kSource);
    }
    void TearDown() override {
        engine.reset();
        Clean();
    }
    static void Clean() {
        for (const auto* dir : {L"D:\\CorvaneZideroZur", L"D:\\CorvaneUpdateYedek",
                                L"D:\\CorvaneUpdateYedek.onceki", L"D:\\CorvaneUpdateYedek.yeni",
                                L"D:\\kaynak", L"E:\\CorvaneZideroZur", L"E:\\CorvaneUpdateYedek"})
            RemoveTree(dir);
    }
    void FullUpdate() { TSetupEngineTestAccess::SetUpdateMode(*engine, true, true); }
    void FileUpdate() { TSetupEngineTestAccess::SetUpdateMode(*engine, true, false); }
    void Step(const std::string& name) { TSetupEngineTestAccess::Step(*engine, name); }
    // Runs a step that must fail and returns its message.
    std::wstring StepError(const std::string& name) {
        try {
            Step(name);
        } catch (const ESetupError& e) {
            return e.Message();
        }
        ADD_FAILURE() << name << " did not fail";
        return std::wstring();
    }
    std::vector<std::wstring> Logs() const { return journal.Only(L"log|"); }
    bool Logged(const std::wstring& line) const {
        const auto logs = Logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
    std::wstring LogText() const {
        std::wstring all;
        for (const auto& l : Logs())
            all += l + L"\n";
        return all;
    }

    // The installation a full update finds: till program, libraries, small files, the desktop
    // folder, and what no backup takes (connection file, service folder, data).
    void MakeInstallation(const std::string& version = "1.0") {
        Put(kInstall + L"\\CorvaneZideroZUR.exe", std::string(1536 * 1024, 'X') + version);
        Put(kInstall + L"\\CorvaneCore.dll", "core " + version);
        Put(kInstall + L"\\sqlite3.dll", "sqlite " + version);
        Put(kInstall + L"\\version.json", "{\"version\": \"" + version + "\"}");
        Put(kInstall + L"\\web_resources.res", "res " + version);
        Put(kInstall + L"\\masaustu\\index.html", "<p>" + version + "</p>");
        Put(kInstall + L"\\masaustu\\assets\\app.js", "app " + version);
        Put(kInstall + L"\\pos-config.json", "{\"host\": \"shop\"}");
        Put(kInstall + L"\\CorvaneMarketServis\\CorvaneMarketServer.exe", "server " + version);
        Put(kInstall + L"\\Data\\shop.db", "shop data");
        Put(kInstall + L"\\TarvikBridge.exe", "bridge " + version);
    }

    TJournal journal;
    TBackupHost* host = nullptr;
    std::unique_ptr<TSetupEngine> engine;
};
