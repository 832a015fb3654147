#pragma once
// The engine's only door to the operating system for the operations a run repeats: starting
// programs, stopping processes and services, walking folder trees, sleeping.
//
// TWinHost (uWinHost.h) is the real implementation. Tests derive from it to record sleeps
// while everything else stays real, or derive from THost to script what Wine cannot be made to
// do (a service that never goes away, a process that survives taskkill).
#ifdef _WIN32
#include <windows.h>
// winbase.h still maps this 16-bit relic to a constant; our host operation has the same name.
#undef GetFreeSpace
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class THost {
public:
    using TLogSink = std::function<void(const std::wstring&)>;

    virtual ~THost() = default;

    // Bound by the engine that owns the host: where log lines go.
    void Attach(TLogSink log) { FLog = std::move(log); }
    // The installation folder (drive of GetFreeSpace for a path without one), handed over by
    // the engine whenever it is set.
    void SetInstallDir(const std::wstring& dir) { FInstallDir = dir; }

    // Every fixed wait of the engine and of the host operations goes through here.
    virtual void Sleep(int ms) = 0;

    // Command runner: exit code, 259 after the time-out (process left running), -1 when the
    // start failed. Never raises.
    virtual int RunCmd(const std::wstring& cmd, int timeoutMs) = 0;
    virtual int RunExe(const std::wstring& exePath, const std::wstring& args, int timeoutMs) = 0;

    // Process and service control. Never raise.
    virtual bool IsProcessRunning(const std::wstring& exeName) = 0;
    virtual bool WaitProcessExit(const std::wstring& exeName, int seconds) = 0;
    virtual bool StopServiceWait(const std::wstring& serviceName, int seconds) = 0;
    virtual bool DeleteServiceWait(const std::wstring& serviceName, int seconds) = 0;

    // File trees. Only CopyDirWithRetry raises (the critical-file error); CopyOneFile raises
    // ESetupError with the system's text.
    virtual void CopyDirRecursive(const std::wstring& src, const std::wstring& dst) = 0;
    virtual void CopyDirWithRetry(const std::wstring& src, const std::wstring& dst,
                                  int attempts) = 0;
    virtual void CopyOneFile(const std::wstring& src, const std::wstring& dst) = 0;
    virtual int64_t GetFreeSpace(const std::wstring& path) = 0;
    virtual int64_t GetDirSize(const std::wstring& dir) = 0;

    // Full path of the running setup program, as the system reports it.
    virtual std::wstring ExePath() = 0;

protected:
    void Log(const std::wstring& msg) const {
        if (FLog)
            FLog(msg);
    }
    const std::wstring& InstallDir() const { return FInstallDir; }

private:
    TLogSink FLog;
    std::wstring FInstallDir;
};

// The real host on this machine.
std::unique_ptr<THost> CreateWindowsHost();

// Deletes a folder tree as far as it can; a folder link inside goes by itself, what it points
// to stays.
void DeleteDirRecursive(const std::wstring& Dir);
