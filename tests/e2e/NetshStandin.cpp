// netsh.exe stand-in: keeps the firewall rules that "advfirewall firewall add rule name=..."
// and "... delete rule name=..." describe, so that tests can see what an installation leaves.
// Every call is appended to calls.txt and the rules live in rules.txt, one line each, in the
// folder of this program.
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring Folder() {
    wchar_t self[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring p = self;
    return p.substr(0, p.find_last_of(L'\\'));
}

// The command line without the program name.
std::wstring Arguments() {
    std::wstring line = GetCommandLineW();
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        i = line.find(L'"', 1);
        i = i == std::wstring::npos ? line.size() : i + 1;
    } else {
        while (i < line.size() && line[i] != L' ')
            ++i;
    }
    while (i < line.size() && line[i] == L' ')
        ++i;
    return line.substr(i);
}

std::string Utf8(const std::wstring& s) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr,
                                      0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return lines;
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        text.append(buf, got);
    CloseHandle(h);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

void WriteLines(const std::wstring& path, const std::vector<std::string>& lines, bool append) {
    HANDLE h = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                           append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    for (const auto& l : lines) {
        const std::string row = l + "\n";
        DWORD written = 0;
        WriteFile(h, row.data(), static_cast<DWORD>(row.size()), &written, nullptr);
    }
    CloseHandle(h);
}

// The quoted name after name=, or the text up to the next blank.
std::string RuleName(const std::string& args) {
    const size_t at = args.find("name=");
    if (at == std::string::npos)
        return std::string();
    size_t start = at + 5;
    if (start < args.size() && args[start] == '"') {
        const size_t end = args.find('"', start + 1);
        return args.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    }
    return args.substr(start, args.find(' ', start) - start);
}

} // namespace

int wmain() {
    const std::wstring folder = Folder();
    const std::string args = Utf8(Arguments());
    WriteLines(folder + L"\\calls.txt", {args}, true);
    const std::string name = RuleName(args);
    if (args.rfind("advfirewall firewall add rule ", 0) == 0 && !name.empty()) {
        WriteLines(folder + L"\\rules.txt", {name + "\t" + args}, true);
        return 0;
    }
    if (args.rfind("advfirewall firewall delete rule ", 0) == 0 && !name.empty()) {
        std::vector<std::string> kept;
        bool found = false;
        for (const auto& l : ReadLines(folder + L"\\rules.txt")) {
            if (l.rfind(name + "\t", 0) == 0)
                found = true;
            else
                kept.push_back(l);
        }
        WriteLines(folder + L"\\rules.txt", kept, false);
        return found ? 0 : 1; // as netsh: no rule matched
    }
    return 0;
}
