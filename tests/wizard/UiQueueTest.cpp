// The hand-over queue on its own: immediate on the UI thread, ordered and never blocking from
// other threads, one wake-up message for many procedures, nothing run after Close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "WizardTestSupport.h"
#include "uUiQueue.h"

namespace {

constexpr UINT kWake = WM_APP + 7;

// A message-only window that hands its wake-up message to the queue and counts them.
class TQueueWindow {
public:
    TQueueWindow() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TQueueTestWindow";
        RegisterClassW(&wc);
        FWnd = CreateWindowW(L"TQueueTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), this);
        Queue.Attach(FWnd, kWake);
    }
    ~TQueueWindow() { DestroyWindow(FWnd); }

    TUiQueue Queue;
    int Wakes = 0;

private:
    static LRESULT CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_NCCREATE)
            SetWindowLongPtrW(
                wnd, GWLP_USERDATA,
                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
        auto* self = reinterpret_cast<TQueueWindow*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
        if (self && msg == kWake) {
            ++self->Wakes;
            self->Queue.RunPending();
            return 0;
        }
        return DefWindowProcW(wnd, msg, wp, lp);
    }
    HWND FWnd;
};

} // namespace

TEST(QueueHandOver, OnTheUiThreadAProcedureRunsBeforeQueueReturns) {
    TQueueWindow w;
    int ran = 0;
    w.Queue.Queue([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(w.Queue.PendingCount(), 0u);
}

TEST(QueueHandOver, FromAWorkerProceduresWaitForTheUiThreadAndKeepTheirOrder) {
    TQueueWindow w;
    std::vector<int> seen;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            w.Queue.Queue([&seen, i] { seen.push_back(i); });
    });
    worker.join();
    EXPECT_TRUE(seen.empty()) << "ran on the worker, or before the UI thread looked";
    EXPECT_EQ(w.Queue.PendingCount(), 100u);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 100; }, 5000));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(seen[i], i);
}

TEST(QueueHandOver, AFloodNeverBlocksTheWorkerAndNeedsOneWakeUpMessage) {
    TQueueWindow w;
    constexpr int kCount = 50000; // five times what a thread's message queue holds
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < kCount; ++i)
            w.Queue.Queue([] {});
        done = true;
    });
    // The UI thread does not look at its messages meanwhile: the worker must get through alone.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(w.Queue.PendingCount(), size_t(kCount));
    ASSERT_TRUE(PumpUntil([&] { return w.Queue.PendingCount() == 0; }, 5000));
    EXPECT_EQ(w.Wakes, 1);
}

TEST(QueueHandOver, ClosedQueueDropsWhatWaitsAndRefusesMore) {
    TQueueWindow w;
    int ran = 0;
    std::thread([&] { w.Queue.Queue([&] { ++ran; }); }).join();
    w.Queue.Close();
    PumpFor(50);
    std::thread([&] { w.Queue.Queue([&] { ++ran; }); }).join();
    w.Queue.Queue([&] { ++ran; });
    PumpFor(50);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(w.Queue.PendingCount(), 0u);
}

TEST(QueueHandOver, ProceduresAfterOneThatClosesTheQueueDoNotRun) {
    TQueueWindow w;
    std::vector<int> seen;
    std::thread([&] {
        w.Queue.Queue([&] { seen.push_back(1); });
        w.Queue.Queue([&] {
            seen.push_back(2);
            w.Queue.Close(); // as the window going away in the middle of a batch
        });
        w.Queue.Queue([&] { seen.push_back(3); });
    }).join();
    PumpFor(50);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(QueueHandOver, AModalLoopInsideAProcedureDoesNotLetLaterOnesOvertake) {
    TQueueWindow w;
    std::vector<int> seen;
    std::thread([&] {
        w.Queue.Queue([&] {
            seen.push_back(1);
            // A message box's own loop: more work arrives and is woken meanwhile.
            std::thread([&] { w.Queue.Queue([&] { seen.push_back(3); }); }).join();
            PumpFor(50);
        });
        w.Queue.Queue([&] { seen.push_back(2); });
    }).join();
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }, 5000));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}
