// wizard_probe.exe: reads what the running setup window shows, for the scripts that drive it
// with xdotool. It never clicks or types: input comes from the X server like a person's.
//   wizard_probe dump OUT        every control of the wizard: class, visible, enabled, position
//                                in the client area, text (one per line, UTF-8)
//   wizard_probe memo OUT        the installation log as the window shows it (UTF-8)
//   wizard_probe boxes OUT       the message boxes that are open: caption and text
//   wizard_probe running NAME    exit 0 when a process of that file name runs, else 1
//   wizard_probe kill NAME       ends every process of that file name
//   wizard_probe wait-locked PATH SECONDS
//                                waits until PATH is held open against writing (exit 0), or 1
//   wizard_probe pages OUT SECONDS
//                                watches the wizard from its start until its window goes (exit
//                                0) or SECONDS pass (exit 1, the last page seen on stdout); OUT
//                                gets the pages seen, in order: welcome settings running finish
//                                failed
// Exit code 3: no wizard window; 4: the window did not answer (it is closing).
// CORVANE_PROBE_TITLE: the start of another window's caption to read (the uninstaller's); ASCII,
// since the environment reaches Wine in the locale's encoding.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "MachineProbe.h"

namespace {

std::wstring Title() {
    wchar_t buf[256] = {};
    const DWORD n = GetEnvironmentVariableW(L"CORVANE_PROBE_TITLE", buf, 256);
    return n > 0 && n < 256 ? std::wstring(buf, n) : L"CorvaneMarket Kurulum";
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == text.size();
}

// The text through WM_GETTEXT, which the system carries across processes (GetWindowText does
// not ask another process's edit control for its contents).
std::wstring TextOf(HWND wnd) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(wnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len))
        return L"<no answer>";
    std::wstring text(len + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(wnd, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &got))
        return L"<no answer>";
    text.resize(got);
    return text;
}

std::wstring ClassOf(HWND wnd) {
    wchar_t cls[128] = {};
    GetClassNameW(wnd, cls, 128);
    return cls;
}

// Line breaks inside a text become the two characters \n, so one control stays one line.
std::wstring OneLine(const std::wstring& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == L'\r' && i + 1 < s.size() && s[i + 1] == L'\n')
            continue;
        if (s[i] == L'\n' || s[i] == L'\r')
            out += L"\\n";
        else
            out += s[i];
    }
    return out;
}

// The wizard, not one of its message boxes, which carry the same caption.
HWND FindWizard() {
    HWND found = nullptr;
    EnumWindows(
        [](HWND wnd, LPARAM lp) -> BOOL {
            wchar_t title[128] = {};
            GetWindowTextW(wnd, title, 128);
            if (std::wstring(title).rfind(Title(), 0) != 0 || ClassOf(wnd) == L"#32770")
                return TRUE;
            *reinterpret_cast<HWND*>(lp) = wnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

struct TDump {
    HWND Form;
    std::wstring Out;
};

BOOL CALLBACK DumpChild(HWND wnd, LPARAM lp) {
    auto* d = reinterpret_cast<TDump*>(lp);
    RECT r{};
    GetWindowRect(wnd, &r);
    POINT tl{r.left, r.top};
    ScreenToClient(d->Form, &tl);
    const std::wstring cls = ClassOf(wnd);
    std::wstring extra;
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        DWORD_PTR check = 0;
        SendMessageTimeoutW(wnd, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &check);
        extra = check == BST_CHECKED ? L" checked" : L"";
    } else if (_wcsicmp(cls.c_str(), L"ComboBox") == 0) {
        DWORD_PTR sel = 0;
        SendMessageTimeoutW(wnd, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &sel);
        extra = L" sel=" + std::to_wstring(static_cast<int>(sel));
    }
    const bool memo = _wcsicmp(cls.c_str(), L"Edit") == 0;
    d->Out += cls + L"\t" + (IsWindowVisible(wnd) ? L"visible" : L"hidden") + L"\t" +
              (IsWindowEnabled(wnd) ? L"enabled" : L"disabled") + extra + L"\t" +
              std::to_wstring(tl.x) + L"," + std::to_wstring(tl.y) + L"," +
              std::to_wstring(r.right - r.left) + L"x" + std::to_wstring(r.bottom - r.top) + L"\t" +
              (memo ? L"<log>" : OneLine(TextOf(wnd))) + L"\n";
    return TRUE;
}

struct TBoxes {
    std::wstring Out;
};

BOOL CALLBACK BoxChild(HWND wnd, LPARAM lp) {
    auto* b = reinterpret_cast<TBoxes*>(lp);
    const std::wstring cls = ClassOf(wnd);
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        const std::wstring text = TextOf(wnd);
        if (!text.empty())
            b->Out += L"text\t" + OneLine(text) + L"\n";
    } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        b->Out += L"button\t" + OneLine(TextOf(wnd)) + L"\n";
    }
    return TRUE;
}

BOOL CALLBACK BoxTop(HWND wnd, LPARAM lp) {
    if (ClassOf(wnd) != L"#32770" || !IsWindowVisible(wnd))
        return TRUE;
    auto* b = reinterpret_cast<TBoxes*>(lp);
    b->Out += L"box\t" + OneLine(TextOf(wnd)) + L"\n";
    EnumChildWindows(wnd, BoxChild, lp);
    return TRUE;
}

// The page the wizard shows, told by its visible buttons and the failure title.
std::wstring PageOf(HWND form) {
    struct TSeen {
        bool Failed = false, Close = false, Install = false, Next = false;
    } seen;
    EnumChildWindows(
        form,
        [](HWND wnd, LPARAM lp) -> BOOL {
            if (!IsWindowVisible(wnd))
                return TRUE;
            auto* s = reinterpret_cast<TSeen*>(lp);
            const std::wstring cls = ClassOf(wnd);
            if (_wcsicmp(cls.c_str(), L"Static") == 0) {
                s->Failed |= TextOf(wnd) == L"Hata Oluştu!";
            } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
                const std::wstring text = TextOf(wnd);
                s->Close |= text == L"Kapat";
                s->Install |= text == L"Kur";
                s->Next |= text == L"İleri >";
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    return seen.Failed    ? L"failed"
           : seen.Close   ? L"finish"
           : seen.Install ? L"settings"
           : seen.Next    ? L"welcome"
                          : L"running";
}

// Held open by a program that lets nobody write it (a loaded DLL, a lock without sharing).
bool HeldAgainstWriting(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    const std::wstring cmd = argv[1];
    if (cmd == L"dump" || cmd == L"memo") {
        const HWND form = FindWizard();
        if (!form)
            return 3;
        if (cmd == L"memo") {
            HWND memo = nullptr;
            EnumChildWindows(
                form,
                [](HWND wnd, LPARAM lp) -> BOOL {
                    if (_wcsicmp(ClassOf(wnd).c_str(), L"Edit") == 0) {
                        *reinterpret_cast<HWND*>(lp) = wnd;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&memo));
            if (!memo)
                return 3;
            const std::wstring text = TextOf(memo);
            if (text == L"<no answer>")
                return 4; // the window is going away: keep what was read before
            return WriteFileText(argv[2], Narrow(text)) ? 0 : 1;
        }
        TDump d{form, L""};
        RECT client{};
        GetClientRect(form, &client);
        d.Out = L"form\t" + OneLine(TextOf(form)) + L"\t" + std::to_wstring(client.right) + L"x" +
                std::to_wstring(client.bottom) + L"\n";
        EnumChildWindows(form, DumpChild, reinterpret_cast<LPARAM>(&d));
        return WriteFileText(argv[2], Narrow(d.Out)) ? 0 : 1;
    }
    if (cmd == L"boxes") {
        TBoxes b;
        EnumWindows(BoxTop, reinterpret_cast<LPARAM>(&b));
        return WriteFileText(argv[2], Narrow(b.Out)) ? 0 : 1;
    }
    if (cmd == L"running")
        return ProcessRunning(argv[2]) ? 0 : 1;
    if (cmd == L"kill") {
        KillAllNamed(argv[2]);
        return 0;
    }
    if (cmd == L"pages" && argc >= 4) {
        // Polled from within the prefix: a page shown for a moment is still seen. The wizard is
        // the shown window of its full size; once seen, its handle going means the window went.
        const ULONGLONG until = GetTickCount64() + 1000ull * _wtoi(argv[3]);
        std::wstring pages, last = L"no window";
        HWND wizard = nullptr;
        for (;;) {
            if (!wizard) {
                const HWND form = FindWizard();
                RECT client{};
                if (form && IsWindowVisible(form) && GetClientRect(form, &client) &&
                    client.right >= 600 && client.bottom >= 500)
                    wizard = form;
            } else if (!IsWindow(wizard)) {
                return WriteFileText(argv[2], Narrow(pages)) ? 0 : 1;
            }
            if (wizard) {
                const std::wstring page = PageOf(wizard);
                if ((L" " + pages + L" ").find(L" " + page + L" ") == std::wstring::npos)
                    pages += (pages.empty() ? L"" : L" ") + page;
                last = page;
            }
            if (GetTickCount64() >= until) {
                WriteFileText(argv[2], Narrow(pages));
                printf("last seen: %s (pages: %s)\n", Narrow(last).c_str(), Narrow(pages).c_str());
                return 1;
            }
            Sleep(20);
        }
    }
    if (cmd == L"wait-locked" && argc >= 4) {
        const int seconds = _wtoi(argv[3]);
        for (int i = 0; i <= seconds * 10; ++i) {
            if (HeldAgainstWriting(argv[2]))
                return 0;
            Sleep(100);
        }
        return 1;
    }
    return 2;
}
