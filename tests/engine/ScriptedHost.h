#pragma once
// A host whose every operation returns at once with a scripted result and is written to the
// journal, so that a run's commands, time-outs and sleeps compare as data.
#include <functional>
#include <map>

#include "Journal.h"
#include "host/uHost.h"

class TScriptedHost : public THost {
public:
    explicit TScriptedHost(TJournal& journal) : FJournal(journal) {}

    // Scripted results; anything not listed succeeds (exit code 0, true).
    std::map<std::wstring, int> CmdResults;
    bool StopServiceResult = true;
    bool DeleteServiceResult = true;
    bool WaitProcessResult = true;
    bool ProcessRunningResult = false;
    std::wstring ExeFile = L"C:\\setup\\CorvaneMarketSetup.exe";
    // Called after each operation has been journalled, with its journal entry.
    std::function<void(const std::wstring&)> OnCall;

    void Sleep(int ms) override { Record(L"sleep|" + std::to_wstring(ms)); }
    int RunCmd(const std::wstring& cmd, int timeoutMs) override {
        Record(L"cmd|" + cmd + L"|" + std::to_wstring(timeoutMs));
        const auto it = CmdResults.find(cmd);
        return it == CmdResults.end() ? 0 : it->second;
    }
    int RunExe(const std::wstring& exe, const std::wstring& args, int timeoutMs) override {
        Record(L"exe|" + exe + L"|" + args + L"|" + std::to_wstring(timeoutMs));
        return 0;
    }
    bool IsProcessRunning(const std::wstring& name) override {
        Record(L"running?|" + name);
        return ProcessRunningResult;
    }
    bool WaitProcessExit(const std::wstring& name, int seconds) override {
        Record(L"waitexit|" + name + L"|" + std::to_wstring(seconds));
        return WaitProcessResult;
    }
    bool StopServiceWait(const std::wstring& name, int seconds) override {
        Record(L"stopsvc|" + name + L"|" + std::to_wstring(seconds));
        return StopServiceResult;
    }
    bool DeleteServiceWait(const std::wstring& name, int seconds) override {
        Record(L"delsvc|" + name + L"|" + std::to_wstring(seconds));
        return DeleteServiceResult;
    }
    void CopyDirRecursive(const std::wstring& src, const std::wstring& dst) override {
        Record(L"copydir|" + src + L"|" + dst);
    }
    void CopyDirWithRetry(const std::wstring& src, const std::wstring& dst, int attempts) override {
        Record(L"copyretry|" + src + L"|" + dst + L"|" + std::to_wstring(attempts));
    }
    void CopyOneFile(const std::wstring& src, const std::wstring& dst) override {
        Record(L"copyfile|" + src + L"|" + dst);
    }
    int64_t GetFreeSpace(const std::wstring& path) override {
        Record(L"freespace|" + path);
        return int64_t(1) << 40;
    }
    int64_t GetDirSize(const std::wstring& dir) override {
        Record(L"dirsize|" + dir);
        return 0;
    }
    std::wstring ExePath() override { return ExeFile; }

private:
    void Record(const std::wstring& entry) {
        FJournal.Add(entry);
        if (OnCall)
            OnCall(entry);
    }
    TJournal& FJournal;
};
