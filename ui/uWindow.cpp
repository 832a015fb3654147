// Window classes, the main window and the message loops.
#include "uWindow.h"

#include <chrono>

namespace {

void Dispatch(HWND window, MSG& msg) {
    if (window && IsDialogMessageW(window, &msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

} // namespace

bool IsChecked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetVisible(HWND wnd, bool visible) {
    ShowWindow(wnd, visible ? SW_SHOWNA : SW_HIDE);
}

std::wstring WindowText(HWND wnd) {
    const int len = GetWindowTextLengthW(wnd);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    GetWindowTextW(wnd, text.data(), len + 1);
    text.resize(static_cast<size_t>(len));
    return text;
}

std::wstring ItemText(HWND combo, int index) {
    const LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (len == CB_ERR)
        return std::wstring();
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(len));
    return text;
}

int Selected(HWND combo) {
    return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

void RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool mainWindow) {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    if (GetClassInfoExW(inst, name, &wc))
        return;
    wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    if (mainWindow) {
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.hIcon = LoadIconW(inst, MAKEINTRESOURCEW(1));
        if (!wc.hIcon)
            wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    }
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

HWND CreateMainWindow(const wchar_t* cls, WNDPROC proc, const wchar_t* title, int width, int height,
                      void* object, int showCmd) {
    RegisterWindowClass(cls, proc, true);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
    RECT r = {0, 0, width, height};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    HWND wnd = CreateWindowExW(exStyle, cls, title, style, x, y, w, h, nullptr, nullptr,
                               GetModuleHandleW(nullptr), object);
    if (!wnd)
        return nullptr;
    ShowWindow(wnd, showCmd);
    UpdateWindow(wnd);
    return wnd;
}

void RunMessageLoop(const std::function<HWND()>& window) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        Dispatch(window(), msg);
}

bool PumpMessagesUntil(const std::function<HWND()>& window, const std::function<bool()>& done,
                       int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return done();
            Dispatch(window(), msg);
        }
    }
    return true;
}
