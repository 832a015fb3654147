// mariadbd.exe: "--install NAME --defaults-file=FILE" registers the service NAME running this
// program with that configuration; "--remove NAME" deletes it. Run by the service manager (or
// by hand) it reads the configuration ([mysqld] port and datadir), refuses to start without an
// initialised data directory, listens on 127.0.0.1:port and serves mariadb.exe: it checks the
// password of the account and runs the account statements of a script, keeping the accounts in
// DATADIR\mysql\accounts.txt and every statement it ran in DATADIR\mysql\queries.log.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cctype>
#include <thread>

#include "StandinCommon.h"

namespace {

struct TAccount {
    std::string User, Host, Password, Privileges;
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::vector<TAccount> LoadAccounts(const std::wstring& file) {
    std::vector<TAccount> out;
    std::string text;
    if (!ReadFileBytes(file, text))
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        TAccount a;
        std::string* fields[] = {&a.User, &a.Host, &a.Password, &a.Privileges};
        size_t f = 0, start = 0;
        for (; f < 4; ++f) {
            const size_t tab = f < 3 ? line.find('\t', start) : std::string::npos;
            *fields[f] =
                line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        out.push_back(a);
    }
    return out;
}

bool SaveAccounts(const std::wstring& file, const std::vector<TAccount>& accounts) {
    std::string text;
    for (const auto& a : accounts)
        text += a.User + "\t" + a.Host + "\t" + a.Password + "\t" + a.Privileges + "\r\n";
    const std::wstring tmp = file + L".tmp";
    return WriteFileBytes(tmp, text) &&
           ::MoveFileExW(tmp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Words, quoted texts and "@" of one statement.
struct TToken {
    std::string Text;
    bool Quoted = false;
};

std::vector<TToken> Tokenize(const std::string& s) {
    std::vector<TToken> out;
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '\'' || c == '"' || c == '`') {
            TToken t;
            t.Quoted = true;
            for (++i; i < s.size() && s[i] != c; ++i) {
                if (s[i] == '\\' && i + 1 < s.size())
                    ++i;
                t.Text += s[i];
            }
            ++i;
            out.push_back(t);
        } else if (c == '@') {
            out.push_back({"@", false});
            ++i;
        } else {
            TToken t;
            while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i])) && s[i] != '@' &&
                   s[i] != '\'' && s[i] != '"' && s[i] != '`')
                t.Text += s[i++];
            out.push_back(t);
        }
    }
    return out;
}

class TParser {
public:
    explicit TParser(std::vector<TToken> t) : FTokens(std::move(t)) {}
    bool Word(const char* w) {
        if (FPos < FTokens.size() && !FTokens[FPos].Quoted && Upper(FTokens[FPos].Text) == w) {
            ++FPos;
            return true;
        }
        return false;
    }
    bool Text(std::string& out) {
        if (FPos >= FTokens.size() || FTokens[FPos].Text == "@")
            return false;
        out = FTokens[FPos++].Text;
        return true;
    }
    bool Account(std::string& user, std::string& host) {
        if (!Text(user))
            return false;
        host = "%";
        if (FPos < FTokens.size() && FTokens[FPos].Text == "@" && !FTokens[FPos].Quoted) {
            ++FPos;
            return Text(host);
        }
        return true;
    }
    bool AtEnd() const { return FPos == FTokens.size(); }

private:
    std::vector<TToken> FTokens;
    size_t FPos = 0;
};

class TServer {
public:
    DWORD Start(const std::wstring& iniPath) {
        if (!LoadConfig(iniPath))
            return 1;
        if (!DirExists(FDataDir + L"\\mysql")) {
            PrintErr(L"[ERROR] data directory " + FDataDir + L" is not initialised");
            return 2;
        }
        WSADATA wsa;
        if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
            return 3;
        FListen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (FListen == INVALID_SOCKET)
            return 3;
        BOOL exclusive = TRUE;
        ::setsockopt(FListen, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = ::htons(FPort);
        addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(FListen, 8) != 0) {
            PrintErr(L"[ERROR] cannot listen on port " + std::to_wstring(FPort));
            ::closesocket(FListen);
            FListen = INVALID_SOCKET;
            return 4;
        }
        FThread = std::thread([this] { AcceptLoop(); });
        return 0;
    }

    void Stop() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (FListen != INVALID_SOCKET)
            ::closesocket(FListen);
        FListen = INVALID_SOCKET;
    }

private:
    bool LoadConfig(const std::wstring& iniPath) {
        std::string text;
        if (iniPath.empty() || !ReadFileBytes(iniPath, text)) {
            PrintErr(L"[ERROR] cannot read the configuration " + iniPath);
            return false;
        }
        std::string section;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = Trim(text.substr(pos, end - pos));
            pos = end + 1;
            if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
                section = line.substr(1, line.size() - 2);
                continue;
            }
            if (section != "mysqld" && section != "server" && section != "mariadb")
                continue;
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = Trim(line.substr(0, eq));
            std::string value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
                value = value.substr(1, value.size() - 2);
            if (key == "port")
                FPort = static_cast<u_short>(std::strtoul(value.c_str(), nullptr, 10));
            else if (key == "datadir")
                FDataDir = FromUtf8(value);
        }
        if (FDataDir.empty())
            FDataDir = FileDir(iniPath) + L"\\data";
        for (wchar_t& c : FDataDir)
            if (c == L'/')
                c = L'\\';
        while (FDataDir.size() > 3 && FDataDir.back() == L'\\')
            FDataDir.pop_back();
        return true;
    }

    void AcceptLoop() {
        while (!FStop) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(FListen, &set);
            timeval tv{0, 200000};
            if (::select(0, &set, nullptr, nullptr, &tv) <= 0)
                continue;
            SOCKET client = ::accept(FListen, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                continue;
            DWORD timeout = kProtoTimeoutMs;
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof(timeout));
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof(timeout));
            Serve(client);
            ::shutdown(client, SD_BOTH);
            ::closesocket(client);
        }
    }

    std::wstring AccountsFile() const { return FDataDir + L"\\mysql\\accounts.txt"; }

    void Serve(SOCKET client) {
        std::string line;
        if (!RecvLine(client, line))
            return;
        // Which process serves here: tests tell their server from one another run left behind.
        if (line == "WHO") {
            SendAll(client, "PID " + std::to_string(::GetCurrentProcessId()) + "\n");
            return;
        }
        if (line.rfind("AUTH ", 0) != 0)
            return;
        const std::string rest = line.substr(5);
        const size_t sp = rest.find(' ');
        const std::string user = rest.substr(0, sp);
        const std::string password = sp == std::string::npos ? std::string() : rest.substr(sp + 1);
        if (!Authenticate(user, password)) {
            SendAll(client, "ERR 1045 Access denied for user '" + user +
                                "'@'localhost' (using password: " +
                                (password.empty() ? "NO" : "YES") + ")\n");
            return;
        }
        SendAll(client, "OK\n");
        if (!RecvLine(client, line) || line.rfind("SQL ", 0) != 0)
            return;
        const size_t count = std::strtoul(line.c_str() + 4, nullptr, 10);
        std::string sql;
        if (count > 16 * 1024 * 1024 || !RecvBytes(client, count, sql))
            return;
        SendAll(client, Execute(sql) + "\n");
    }

    // The account of a local connection: localhost first, then 127.0.0.1, then any host.
    bool Authenticate(const std::string& user, const std::string& password) {
        const auto accounts = LoadAccounts(AccountsFile());
        for (const char* host : {"localhost", "127.0.0.1", "%"})
            for (const auto& a : accounts)
                if (a.User == user && a.Host == host)
                    return a.Password == password;
        return false;
    }

    std::string Execute(const std::string& sql) {
        auto accounts = LoadAccounts(AccountsFile());
        int done = 0;
        std::string result;
        for (const auto& stmt : SplitStatements(sql)) {
            result = Statement(stmt, accounts);
            AppendFileBytes(FDataDir + L"\\mysql\\queries.log",
                            stmt + (result.empty() ? "" : "\t-- " + result) + "\r\n");
            if (!result.empty())
                break;
            ++done;
        }
        SaveAccounts(AccountsFile(), accounts);
        return result.empty() ? "OK " + std::to_string(done) : result;
    }

    // Empty when the statement ran, otherwise "ERR code message".
    static std::string Statement(const std::string& stmt, std::vector<TAccount>& accounts) {
        TParser p(Tokenize(stmt));
        std::string user, host, text;
        if (p.Word("CREATE") && p.Word("USER")) {
            const bool ifNotExists = p.Word("IF") && p.Word("NOT") && p.Word("EXISTS");
            if (!p.Account(user, host) || !p.Word("IDENTIFIED") || !p.Word("BY") || !p.Text(text) ||
                !p.AtEnd())
                return "ERR 1064 You have an error in your SQL syntax near '" + stmt + "'";
            for (const auto& a : accounts)
                if (a.User == user && a.Host == host)
                    return ifNotExists ? std::string()
                                       : "ERR 1396 Operation CREATE USER failed for '" + user +
                                             "'@'" + host + "'";
            accounts.push_back({user, host, text, ""});
            return std::string();
        }
        TParser g(Tokenize(stmt));
        if (g.Word("GRANT") && g.Word("ALL")) {
            g.Word("PRIVILEGES");
            std::string on;
            if (!g.Word("ON") || !g.Text(on) || !g.Word("TO") || !g.Account(user, host))
                return "ERR 1064 You have an error in your SQL syntax near '" + stmt + "'";
            const bool grantOption = g.Word("WITH") && g.Word("GRANT") && g.Word("OPTION");
            if (!g.AtEnd())
                return "ERR 1064 You have an error in your SQL syntax near '" + stmt + "'";
            for (auto& a : accounts)
                if (a.User == user && a.Host == host) {
                    a.Privileges =
                        "ALL PRIVILEGES ON " + on + (grantOption ? " WITH GRANT OPTION" : "");
                    return std::string();
                }
            return "ERR 1133 Can't find any matching row in the user table";
        }
        TParser f(Tokenize(stmt));
        if (f.Word("FLUSH") && f.Word("PRIVILEGES") && f.AtEnd())
            return std::string();
        return "ERR 1064 You have an error in your SQL syntax near '" + stmt + "'";
    }

    std::wstring FDataDir;
    u_short FPort = 3306;
    SOCKET FListen = INVALID_SOCKET;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

} // namespace

int main() {
    const TStandin s = StandinStart(::GetCommandLineW());
    std::wstring defaultsFile, installName, removeName, serviceName;
    bool install = false, remove = false;
    for (size_t i = 0; i < s.Args.size(); ++i) {
        const std::wstring& a = s.Args[i];
        if (a.rfind(L"--defaults-file=", 0) == 0) {
            defaultsFile = a.substr(16);
        } else if (a == L"--install" || a == L"--install-manual") {
            install = true;
            if (i + 1 < s.Args.size() && s.Args[i + 1].rfind(L"--", 0) != 0)
                installName = s.Args[++i];
        } else if (a == L"--remove") {
            remove = true;
            if (i + 1 < s.Args.size() && s.Args[i + 1].rfind(L"--", 0) != 0)
                removeName = s.Args[++i];
        } else if (a.rfind(L"--", 0) != 0) {
            serviceName = a;
        }
    }
    if (install) {
        if (installName.empty())
            installName = L"MariaDB";
        // Every part quoted, as the real server writes it:
        // "...\mariadbd.exe" "--defaults-file=D:\X\my.ini" "NAME"
        std::wstring image = L"\"" + s.ExePath + L"\"";
        if (!defaultsFile.empty())
            image += L" \"--defaults-file=" + defaultsFile + L"\"";
        for (const auto& p : s.Options.Passed)
            image += L" " + QuoteArg(p);
        image += L" \"" + installName + L"\"";
        const DWORD err = InstallService(installName, image);
        if (err != NO_ERROR) {
            PrintErr(L"Failed to install the service " + installName + L": error " +
                     std::to_wstring(err));
            return 1;
        }
        PrintErr(L"Service successfully installed.");
        return 0;
    }
    if (remove)
        return UninstallService(removeName.empty() ? L"MariaDB" : removeName) == NO_ERROR ? 0 : 1;

    TServer server;
    TServiceBody body{[&] { return server.Start(defaultsFile); }, [&] { server.Stop(); }};
    if (RunAsService(serviceName.empty() ? L"MariaDB" : serviceName, s.Options, body))
        return 0;
    // Started by hand: serve until ended.
    if (server.Start(defaultsFile) != 0)
        return 1;
    SignalReady(s.Options); // up once it listens; its window does not matter to the clients
    const int code = StayUp(s.Options, s.ExeName);
    server.Stop();
    return code;
}
