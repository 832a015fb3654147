#pragma once
// TWinHost: the host operations on the real system. Tests derive from it and override Sleep
// (to record the waits and return at once) or the service-manager hooks below (to reach the
// fall-backs that a healthy system never takes); everything else stays real.
#include <windows.h>

#include <cstdint>
#include <string>

#include "uFileUtil.h"
#include "uHost.h"

class TWinHost : public THost {
public:
    TWinHost() = default;
    ~TWinHost() override;
    TWinHost(const TWinHost&) = delete;
    TWinHost& operator=(const TWinHost&) = delete;

    void Sleep(int ms) override;

    int RunCmd(const std::wstring& cmd, int timeoutMs) override;
    int RunExe(const std::wstring& exePath, const std::wstring& args, int timeoutMs) override;

    bool IsProcessRunning(const std::wstring& exeName) override;
    bool WaitProcessExit(const std::wstring& exeName, int seconds) override;
    bool StopServiceWait(const std::wstring& serviceName, int seconds) override;
    bool DeleteServiceWait(const std::wstring& serviceName, int seconds) override;

    void CopyDirRecursive(const std::wstring& src, const std::wstring& dst) override;
    void CopyDirWithRetry(const std::wstring& src, const std::wstring& dst, int attempts) override;
    void CopyOneFile(const std::wstring& src, const std::wstring& dst) override;
    int64_t GetFreeSpace(const std::wstring& path) override;
    int64_t GetDirSize(const std::wstring& dir) override;

    std::wstring ExePath() override;

protected:
    // The service-manager calls that the service operations depend on for their decisions.
    virtual SC_HANDLE OpenManager(DWORD access);
    // False when the status could not be read; the caller then treats the service as not
    // stopped yet.
    virtual bool QueryServiceState(SC_HANDLE service, DWORD& state);
    // Waits for a started program within its time-out (timeoutMs > 0); the wait's result.
    virtual DWORD WaitForProgram(HANDLE process, const std::wstring& commandLine, int timeoutMs);

private:
    // TEMP and TMP of the programs this host starts: a private folder of its own.
    std::wstring ProgramTempDir();
    // application: the program's full path, never looked for along the search path. Every
    // program gets the minimal environment block and no handle of ours.
    int Run(const wchar_t* application, const std::wstring& commandLine, const wchar_t* workDir,
            int timeoutMs);

    std::wstring FTempDir;
};
