#pragma once
// How a run or a restore of the engine ended, as its finish event reports it: the window, the
// unattended run and its exit code go by this, never by the wording of the log.
#include <string>

enum class TRunResult { Succeeded, Failed, RolledBack, RollbackFailed, Cancelled };

struct TRunOutcome {
    TRunResult Result = TRunResult::Failed;
    std::wstring ErrorMsg; // empty on success
    bool Succeeded() const { return Result == TRunResult::Succeeded; }
};
