// mariadb-install-db.exe: --datadir="DIR" --password=PW creates the data directory with its
// "mysql" folder, the root account with that password (DIR\mysql\accounts.txt) and, like the
// real initialiser, a my.ini in DIR (not with --standin-no-ini).
#include "StandinCommon.h"

namespace {

std::wstring Slashes(std::wstring p) {
    for (wchar_t& c : p)
        if (c == L'\\')
            c = L'/';
    return p;
}

std::wstring Backslashes(std::wstring p) {
    for (wchar_t& c : p)
        if (c == L'/')
            c = L'\\';
    while (p.size() > 3 && p.back() == L'\\')
        p.pop_back();
    return p;
}

} // namespace

int main() {
    const TStandin s = StandinStart(::GetCommandLineW());
    std::wstring dataDir, password;
    bool havePassword = false;
    for (size_t i = 0; i < s.Args.size(); ++i) {
        const std::wstring& a = s.Args[i];
        if (a.rfind(L"--datadir=", 0) == 0)
            dataDir = a.substr(10);
        else if ((a == L"--datadir" || a == L"-d") && i + 1 < s.Args.size())
            dataDir = s.Args[++i];
        else if (a.rfind(L"--password=", 0) == 0) {
            password = a.substr(11);
            havePassword = true;
        } else if ((a == L"--password" || a == L"-p") && i + 1 < s.Args.size()) {
            password = s.Args[++i];
            havePassword = true;
        }
    }
    if (dataDir.empty()) {
        PrintErr(L"ERROR: --datadir is required");
        return 1;
    }
    dataDir = Backslashes(dataDir);
    if (DirExists(dataDir + L"\\mysql")) {
        PrintErr(L"ERROR: data directory " + dataDir + L" is already initialised");
        return 1;
    }
    ForceDirs(dataDir + L"\\mysql");
    if (!DirExists(dataDir + L"\\mysql")) {
        PrintErr(L"ERROR: cannot create " + dataDir + L"\\mysql");
        return 1;
    }
    // user, host, password, privileges: one account a line.
    const std::wstring accounts = L"root\tlocalhost\t" + (havePassword ? password : L"") +
                                  L"\tALL PRIVILEGES ON *.* WITH GRANT OPTION\r\n";
    if (!WriteFileBytes(dataDir + L"\\mysql\\accounts.txt", ToUtf8(accounts))) {
        PrintErr(L"ERROR: cannot write the account table");
        return 1;
    }
    if (!s.Options.NoIni) {
        const std::wstring ini = L"[mysqld]\r\ndatadir=" + Slashes(dataDir) +
                                 L"\r\nport=3306\r\n[client]\r\nport=3306\r\n";
        WriteFileBytes(dataDir + L"\\my.ini", ToUtf8(ini));
    }
    PrintErr(L"Creation of the database was successful");
    return 0;
}
