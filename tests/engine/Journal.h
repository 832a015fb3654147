#pragma once
// What a run did, in order: log lines, progress reports, host calls, sleeps and the final
// report, each as one line of text so that whole runs compare as lists.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "uSetupEngine.h"

class TJournal {
public:
    void Add(const std::wstring& entry) {
        std::lock_guard<std::mutex> lock(FMutex);
        FEntries.push_back(entry);
        FChanged.notify_all();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(FMutex);
        FEntries.clear();
    }
    std::vector<std::wstring> Entries() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FEntries;
    }
    // Entries that start with the prefix, with the prefix removed.
    std::vector<std::wstring> Only(const std::wstring& prefix) const {
        std::vector<std::wstring> out;
        for (const auto& e : Entries())
            if (e.rfind(prefix, 0) == 0)
                out.push_back(e.substr(prefix.size()));
        return out;
    }
    int Count(const std::wstring& prefix) const { return static_cast<int>(Only(prefix).size()); }
    // How the last reported run ended (the finished entry shows only success or failure).
    void SetResult(TRunResult r) {
        std::lock_guard<std::mutex> lock(FMutex);
        FResult = r;
    }
    TRunResult Result() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FResult;
    }
    // Waits (bounded) until an entry with the prefix has been added.
    bool WaitFor(const std::wstring& prefix, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(FMutex);
        return FChanged.wait_for(lock, limit, [&] {
            for (const auto& e : FEntries)
                if (e.rfind(prefix, 0) == 0)
                    return true;
            return false;
        });
    }

private:
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<std::wstring> FEntries;
    TRunResult FResult = TRunResult::Failed;
};

// Binds the three events of an engine to a journal.
inline void BindEvents(TSetupEngine& engine, TJournal& journal) {
    engine.SetOnLog([&journal](const std::wstring& msg) { journal.Add(L"log|" + msg); });
    engine.SetOnProgress([&journal](int percent, const std::wstring& step) {
        journal.Add(L"progress|" + std::to_wstring(percent) + L"|" + step);
    });
    engine.SetOnFinished([&journal](const TRunOutcome& o) {
        journal.SetResult(o.Result);
        journal.Add(std::wstring(L"finished|") + (o.Succeeded() ? L"1|" : L"0|") + o.ErrorMsg);
    });
}
