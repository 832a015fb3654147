#pragma once
// TSetupEngine: the installation engine. Holds the options collected by the wizard, the mode
// flags derived from the setup file's name, the state of a run and the three callbacks through
// which a run reports. The run itself (RunSetup) works on a worker thread started by Execute.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/uHost.h"
#include "uRunOutcome.h"
#include "uSetupError.h"

// Callbacks, raised on the thread that runs the engine (worker or restore thread). An empty
// std::function counts as "not assigned".
using TLogEvent = std::function<void(const std::wstring& Msg)>;
using TProgressEvent = std::function<void(int Percent, const std::wstring& Step)>;
using TFinishedEvent = std::function<void(const TRunOutcome& Outcome)>;

// Creates or overwrites the shortcut LinkFile to Target through the shell-link object (COM must
// be initialised on the calling thread). Raises ESetupError when the object or one of its
// interfaces is not available.
void CreateShellLink(const std::wstring& Target, const std::wstring& LinkFile,
                     const std::wstring& Description);

class TSetupEngine {
public:
    TSetupEngine();
    // Test seam: an engine on a scripted or recording host.
    explicit TSetupEngine(std::unique_ptr<THost> host);
    virtual ~TSetupEngine();

    TSetupEngine(const TSetupEngine&) = delete;
    TSetupEngine& operator=(const TSetupEngine&) = delete;

    void DetectExistingInstall();
    // Starts a run on a new worker thread and returns at once. Refused (returns false, starts
    // nothing) while an earlier run of this engine is still active.
    bool Execute();
    // Runs on the caller's thread (the wizard's restore thread). The destructor waits only for
    // the worker of Execute: whoever runs a restore must see it end before freeing the engine.
    void ExecuteRollback();
    void Cancel();
    // True from Execute until the worker has finished its run.
    bool IsRunning() const { return FRunning.load(); }

    std::wstring MariaDir() const;
    std::wstring MariaBin(const std::wstring& Exe) const;
    std::wstring DataDir() const;
    std::wstring OrtakDataDir() const;
    std::wstring GetDesktopPath() const;
    std::wstring GetMevcutServisYolu() const;
    std::wstring BackupDir() const;
    bool BackupExists() const;
    bool GetBackupInfo(std::wstring& ATarih, int64_t& ABoyut) const;
    // The backup's update was cut off before it completed: the installation may hold two
    // versions, and the next update keeps that backup.
    bool UpdateInterrupted() const;

    // Properties.
    const std::wstring& InstallDir() const { return FInstallDir; }
    void SetInstallDir(const std::wstring& v) {
        FInstallDir = v;
        FHost->SetInstallDir(v);
    }
    const std::wstring& SourceDir() const { return FSourceDir; }
    void SetSourceDir(const std::wstring& v) { FSourceDir = v; }
    const std::wstring& DbDrive() const { return FDbDrive; }
    void SetDbDrive(const std::wstring& v) { FDbDrive = v; }
    // The release's version ("2.4.1"); empty when the setup file does not know it.
    const std::wstring& Version() const { return FVersion; }
    void SetVersion(const std::wstring& v) { FVersion = v; }
    // A setup file name that decides the mode in place of the running file's own (/MODE=).
    void SetModeName(const std::wstring& v) { FModeName = v; }
    bool IsUpdateInstall() const { return FIsUpdate; }
    bool IsFullUpdate() const { return FIsFullUpdate; }
    bool OptDemoData() const { return FOptDemoData; }
    void SetOptDemoData(bool v) { FOptDemoData = v; }
    bool OptDesktopShortcut() const { return FOptDesktopShortcut; }
    void SetOptDesktopShortcut(bool v) { FOptDesktopShortcut = v; }
    bool OptFirewall() const { return FOptFirewall; }
    void SetOptFirewall(bool v) { FOptFirewall = v; }
    bool OptRemoteAccess() const { return FOptRemoteAccess; }
    void SetOptRemoteAccess(bool v) { FOptRemoteAccess = v; }
    bool OptCorvaneSync() const { return FOptCorvaneSync; }
    void SetOptCorvaneSync(bool v) { FOptCorvaneSync = v; }
    bool OptCorvaneDBOnly() const { return FOptCorvaneDBOnly; }
    void SetOptCorvaneDBOnly(bool v) { FOptCorvaneDBOnly = v; }
    const TLogEvent& OnLog() const { return FOnLog; }
    void SetOnLog(TLogEvent v) { FOnLog = std::move(v); }
    const TProgressEvent& OnProgress() const { return FOnProgress; }
    void SetOnProgress(TProgressEvent v) { FOnProgress = std::move(v); }
    const TFinishedEvent& OnFinished() const { return FOnFinished; }
    void SetOnFinished(TFinishedEvent v) { FOnFinished = std::move(v); }

    THost& Host() { return *FHost; }

private:
    friend class TSetupEngineTestAccess;

    // Reporting and the driver (uDriver.cpp).
    void Log(const std::wstring& Msg);
    void Progress(int Percent, const std::wstring& Step);
    void CheckCancelled();
    void RunSetup();
    void StopProcesses();
    void RunFullUpdate();
    void RunFileUpdate();
    void RunDbOnly();
    void RunNewInstall();
    void StopForFullUpdate();
    void ReinstallAppService();
    bool RegisterAppService(const std::wstring& Server);
    void EnsureAppService(bool Start);
    void CopyDbProgramFiles();
    void CopyFilesWithRollback();
    void ProtectInstallFolders(bool Create);
    void Finish(const std::wstring& Caption, const std::wstring& Banner);
    void ReportFinished(TRunResult Result, const std::wstring& ErrorMsg);

    // Host operations, through the host seam.
    int RunCmd(const std::wstring& Cmd, int TimeoutMs) { return FHost->RunCmd(Cmd, TimeoutMs); }
    int RunExe(const std::wstring& Exe, const std::wstring& Args, int TimeoutMs) {
        return FHost->RunExe(Exe, Args, TimeoutMs);
    }
    bool IsProcessRunning(const std::wstring& Name) { return FHost->IsProcessRunning(Name); }
    bool WaitProcessExit(const std::wstring& Name, int Seconds) {
        return FHost->WaitProcessExit(Name, Seconds);
    }
    bool StopServiceWait(const std::wstring& Name, int Seconds) {
        return FHost->StopServiceWait(Name, Seconds);
    }
    bool DeleteServiceWait(const std::wstring& Name, int Seconds) {
        return FHost->DeleteServiceWait(Name, Seconds);
    }
    void CopyDirRecursive(const std::wstring& Src, const std::wstring& Dst) {
        FHost->CopyDirRecursive(Src, Dst);
    }
    void CopyDirWithRetry(const std::wstring& Src, const std::wstring& Dst, int Attempts) {
        FHost->CopyDirWithRetry(Src, Dst, Attempts);
    }
    void CopyOneFile(const std::wstring& Src, const std::wstring& Dst) {
        FHost->CopyOneFile(Src, Dst);
    }
    int64_t GetFreeSpace(const std::wstring& Path) { return FHost->GetFreeSpace(Path); }
    int64_t GetDirSize(const std::wstring& Dir) { return FHost->GetDirSize(Dir); }
    void Sleep(int Ms) { FHost->Sleep(Ms); }

    // Installation steps (engine/steps/).
    int64_t EstimateBackupSize();
    void PreflightCheck();
    void CopyFiles();
    void CreateFolders();
    void WriteMyIni();
    void WriteConfigFiles();
    void InitMariaDB();
    void InstallDBService();
    void ConfigureFirewall();
    void LoadDemoData();
    void ConfigureRemoteAccess();
    void InstallAppService();
    void CreateShortcut();
    void RegisterUninstall();

    // Backup store and rollback (engine/backup/).
    void CreateBackup();
    void RestoreBackup();

    std::wstring FInstallDir;
    std::wstring FSourceDir;
    std::wstring FDbDrive;
    std::wstring FVersion;
    std::wstring FModeName;
    bool FIsUpdate = false;
    bool FIsFullUpdate = false;
    std::atomic<bool> FCancelled{false};
    // How the current run ends if it fails: after a rollback, cancelled, or plainly.
    TRunResult FFailure = TRunResult::Failed;
    std::atomic<bool> FDestroying{false};
    std::thread FThread;
    bool FOptDemoData = false;
    bool FOptDesktopShortcut = true;
    bool FOptFirewall = true;
    bool FOptRemoteAccess = true;
    bool FOptCorvaneSync = true;
    bool FOptCorvaneDBOnly = false;
    TLogEvent FOnLog;
    TProgressEvent FOnProgress;
    TFinishedEvent FOnFinished;
    std::wstring FBackupDir;
    bool FBackupCreated = false;

    std::atomic<bool> FRunning{false};
    std::unique_ptr<THost> FHost;
};
