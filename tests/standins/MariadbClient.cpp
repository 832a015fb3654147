// mariadb.exe: -h HOST -u USER -P PORT -pPASSWORD -e "SOURCE file" connects to the stand-in
// server, authenticates and hands it the statements (a SOURCE file is read here, as the real
// client does). Exit code 1 with the real client's error text when the server cannot be
// reached, the password is wrong, the file is missing or a statement fails. Only loopback
// hosts are ever contacted.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>

#include "StandinCommon.h"

namespace {

bool IEquals(const std::string& a, const char* b) {
    return _stricmp(a.c_str(), b) == 0;
}

// The statements of -e, with each SOURCE replaced by the file's text; false when a file is
// missing.
bool ExpandSources(const std::string& execute, std::string& sql) {
    for (const auto& stmt : SplitStatements(execute)) {
        if (stmt.size() > 7 && IEquals(stmt.substr(0, 7), "SOURCE ")) {
            std::string file = Trim(stmt.substr(7));
            if (file.size() >= 2 && (file.front() == '"' || file.front() == '\''))
                file = file.substr(1, file.size() - 2);
            std::string text;
            if (!ReadFileBytes(FromUtf8(file), text)) {
                PrintErr(L"Failed to open file '" + FromUtf8(file) + L"', error: 2");
                return false;
            }
            sql += text + "\n;\n";
        } else {
            sql += stmt + ";\n";
        }
    }
    return true;
}

int Fail(const std::string& line) {
    PrintErr(FromUtf8(line));
    return 1;
}

} // namespace

int main() {
    const TStandin s = StandinStart(::GetCommandLineW());
    std::string host = "localhost", user = "root", password, execute;
    unsigned port = 3306;
    auto value = [&](size_t& i, const std::wstring& a, const wchar_t* shortOpt,
                     const wchar_t* longOpt, std::string& out) {
        const std::wstring sh = shortOpt, lo = std::wstring(longOpt) + L"=";
        if (a == sh && i + 1 < s.Args.size()) {
            out = ToUtf8(s.Args[++i]);
            return true;
        }
        if (a.rfind(sh, 0) == 0 && a.size() > sh.size()) {
            out = ToUtf8(a.substr(sh.size()));
            return true;
        }
        if (a.rfind(lo, 0) == 0) {
            out = ToUtf8(a.substr(lo.size()));
            return true;
        }
        return false;
    };
    for (size_t i = 0; i < s.Args.size(); ++i) {
        const std::wstring& a = s.Args[i];
        std::string portText;
        if (value(i, a, L"-h", L"--host", host) || value(i, a, L"-u", L"--user", user) ||
            value(i, a, L"-e", L"--execute", execute))
            continue;
        if (value(i, a, L"-P", L"--port", portText)) {
            port = static_cast<unsigned>(std::strtoul(portText.c_str(), nullptr, 10));
            continue;
        }
        // The password only ever follows -p directly: "-p" alone would ask for it.
        if (a.rfind(L"-p", 0) == 0 && a.rfind(L"--", 0) != 0)
            password = ToUtf8(a.substr(2));
        else if (a.rfind(L"--password=", 0) == 0)
            password = ToUtf8(a.substr(11));
    }
    if (!IEquals(host, "localhost") && host.rfind("127.", 0) != 0)
        return Fail("ERROR 2005 (HY000): Unknown server host '" + host +
                    "' (stand-in: loopback only)");

    std::string sql;
    if (!ExpandSources(execute, sql))
        return 1;

    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return Fail("ERROR 2002 (HY000): Can't connect to server on '" + host + "' (WSAStartup)");
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = ::htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (sock == INVALID_SOCKET ||
        ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int err = ::WSAGetLastError();
        if (sock != INVALID_SOCKET)
            ::closesocket(sock);
        return Fail("ERROR 2002 (HY000): Can't connect to server on '" + host + "' (" +
                    std::to_string(err) + ")");
    }
    DWORD timeout = kProtoTimeoutMs;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof(timeout));
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof(timeout));
    int code = 0;
    std::string reply;
    if (!SendAll(sock, "AUTH " + user + " " + password + "\n") || !RecvLine(sock, reply)) {
        code = Fail("ERROR 2013 (HY000): Lost connection to server during query");
    } else if (reply != "OK") {
        code = Fail("ERROR " + reply.substr(4, 4) +
                    " (28000): " + (reply.size() > 9 ? reply.substr(9) : reply));
    } else if (!SendAll(sock, "SQL " + std::to_string(sql.size()) + "\n" + sql) ||
               !RecvLine(sock, reply)) {
        code = Fail("ERROR 2013 (HY000): Lost connection to server during query");
    } else if (reply.rfind("OK", 0) != 0) {
        code = Fail("ERROR " + reply.substr(4, 4) +
                    " (42000): " + (reply.size() > 9 ? reply.substr(9) : reply));
    }
    ::closesocket(sock);
    ::WSACleanup();
    return code;
}
