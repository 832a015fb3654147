#pragma once
// TUiQueue: hands work from any thread to the window's UI thread.
//
// Called on the UI thread, a procedure runs at once. From any other thread it is appended to one
// queue and the UI thread is woken by a single posted message; further procedures queued before
// the UI thread gets to them ride on that same message. So a run that logs a hundred thousand
// lines never fills the thread's message queue (which holds at most 10,000 posted messages), and
// the caller never waits for the UI thread. Procedures run one at a time in the order queued.
// After Close the queue drops everything: nothing runs once the window is gone.
#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

class TUiQueue {
public:
    using TProc = std::function<void()>;

    // The thread that constructs the queue is its UI thread.
    TUiQueue();
    TUiQueue(const TUiQueue&) = delete;
    TUiQueue& operator=(const TUiQueue&) = delete;

    // Where the wake-up message goes. Procedures queued before are woken now.
    void Attach(HWND target, UINT wakeMsg);

    // Any thread. Never blocks on the UI thread (the lock only guards the list itself).
    void Queue(TProc proc);

    // UI thread: runs what was queued up to now, in order. Called for the wake-up message and
    // from a slow timer, which picks up a wake-up message that could not be posted.
    void RunPending();

    // UI thread: discards every queued procedure and refuses new ones.
    void Close();

    bool IsUiThread() const { return GetCurrentThreadId() == FUiThread; }
    size_t PendingCount() const;

private:
    const DWORD FUiThread;
    mutable std::mutex FLock;
    std::deque<TProc> FItems;
    bool FWakePosted = false;
    std::atomic<bool> FClosed{false};
    bool FRunning = false; // UI thread only
    HWND FTarget = nullptr;
    UINT FWakeMsg = 0;
};
