// The hand-over from worker threads to the UI thread.
#include "uUiQueue.h"

TUiQueue::TUiQueue() : FUiThread(GetCurrentThreadId()) {}

void TUiQueue::Attach(HWND target, UINT wakeMsg) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FTarget = target;
        FWakeMsg = wakeMsg;
        wake = !FItems.empty() && !FWakePosted;
        FWakePosted = FWakePosted || wake;
    }
    if (wake && !PostMessageW(target, wakeMsg, 0, 0)) {
        std::lock_guard<std::mutex> lock(FLock);
        FWakePosted = false;
    }
}

void TUiQueue::Queue(TProc proc) {
    if (IsUiThread()) {
        if (!FClosed)
            proc();
        return;
    }
    HWND target;
    UINT msg;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FClosed)
            return;
        FItems.push_back(std::move(proc));
        // One wake-up message stands for everything queued until the UI thread takes the list.
        if (FWakePosted || !FTarget)
            return;
        FWakePosted = true;
        target = FTarget;
        msg = FWakeMsg;
    }
    if (!PostMessageW(target, msg, 0, 0)) {
        // The procedure stays queued: the next call posts again, and the timer drains it anyway.
        std::lock_guard<std::mutex> lock(FLock);
        FWakePosted = false;
    }
}

void TUiQueue::RunPending() {
    // A procedure that runs a modal loop would let a later wake-up message overtake the rest of
    // this batch; the outer call keeps the order and wakes itself again below.
    if (FRunning)
        return;
    FRunning = true;
    std::deque<TProc> batch;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FWakePosted = false;
        if (FClosed) {
            FRunning = false;
            return;
        }
        batch.swap(FItems);
    }
    // Only this batch: what is queued meanwhile comes with its own wake-up message, so a busy
    // worker cannot keep the UI thread from painting and answering input.
    for (TProc& proc : batch) {
        if (FClosed) // a procedure closed the window
            break;
        proc();
    }
    FRunning = false;
    HWND target = nullptr;
    UINT msg = 0;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FClosed && !FItems.empty() && FTarget) {
            FWakePosted = true;
            target = FTarget;
            msg = FWakeMsg;
        }
    }
    if (target && !PostMessageW(target, msg, 0, 0)) {
        std::lock_guard<std::mutex> lock(FLock);
        FWakePosted = false;
    }
}

void TUiQueue::Close() {
    std::deque<TProc> dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FClosed = true;
        dropped.swap(FItems);
    }
    // Destroyed outside the lock: a procedure's captures may own anything.
}

size_t TUiQueue::PendingCount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FItems.size();
}
