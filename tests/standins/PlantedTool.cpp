// A program planted under the name of a Windows tool (cmd.exe, net.exe, sc.exe, ...) where a
// search by name could find it before System32. Started, it only leaves a marker beside itself,
// "<its file name>.ran", holding its command line, and exits 0.
#include <windows.h>

int wmain() {
    wchar_t self[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2 - 8);
    if (n == 0)
        return 0;
    lstrcatW(self, L".ran");
    HANDLE h =
        CreateFileW(self, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const wchar_t* line = GetCommandLineW();
        DWORD done = 0;
        WriteFile(h, line, DWORD(lstrlenW(line) * sizeof(wchar_t)), &done, nullptr);
        CloseHandle(h);
    }
    return 0;
}
