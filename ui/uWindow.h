#pragma once
// The window plumbing both programs share: class registration, the form object bound to its
// window, the main window in the middle of the screen, and the message loops.
#include <windows.h>

#include <functional>
#include <string>

// Reads and writes of controls that both windows make.
bool IsChecked(HWND box);
// Shown without taking the focus, or hidden.
void SetVisible(HWND wnd, bool visible);
std::wstring WindowText(HWND wnd);
// The text of a drop-down list's item, and the index of the selected one (CB_ERR: none).
std::wstring ItemText(HWND combo, int index);
int Selected(HWND combo);

// Registers a window class of this program once. A main window's class also gets the program's
// icon (resource 1) and a white background; other classes paint their own.
void RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool mainWindow);

// The window procedure of a form object: bound to its window at WM_NCCREATE (from the creation
// parameter), it gets every message through HandleMessage, ends the message loop after its
// WM_DESTROY when FQuitOnDestroy says so, and its FHandle is cleared at WM_NCDESTROY. The form
// befriends TFormProc<itself>.
template <typename TForm> struct TFormProc {
    static LRESULT CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_NCCREATE) {
            auto* form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
            form->FHandle = wnd;
            SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        }
        auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
        if (!form)
            return DefWindowProcW(wnd, msg, wp, lp);
        const LRESULT result = form->HandleMessage(msg, wp, lp);
        if (msg == WM_DESTROY && form->FQuitOnDestroy)
            PostQuitMessage(0);
        if (msg == WM_NCDESTROY) {
            SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
            form->FHandle = nullptr;
        }
        return result;
    }
};

// Registers a main window's class (proc: TFormProc<form>::Proc) and creates its window with a
// client area of width x height in the middle of the screen, then shows it. Null when the
// window could not be made.
HWND CreateMainWindow(const wchar_t* cls, WNDPROC proc, const wchar_t* title, int width, int height,
                      void* object, int showCmd);

// The thread's message loop until WM_QUIT. Tab and arrow keys move the focus between the
// controls of the window that window() names, as in a dialog; it is asked for every message,
// since the window may go before the loop ends.
void RunMessageLoop(const std::function<HWND()>& window);

// A bounded message loop: runs the thread's messages until done() holds (true), ms pass (false)
// or WM_QUIT arrives (then what done() says).
bool PumpMessagesUntil(const std::function<HWND()>& window, const std::function<bool()>& done,
                       int ms);
