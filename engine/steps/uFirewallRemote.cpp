// Firewall rules, demo data and remote database access.
#include <windows.h>

#include "uFileUtil.h"
#include "uSetupEngine.h"

void TSetupEngine::ConfigureFirewall() {
    Log(L"[8/14] Firewall...");
    Log(L"  CorvaneDB firewall kuralı ekleniyor...");
    RunCmd(L"netsh advfirewall firewall add rule name=\"CorvaneDB\" dir=in action=allow "
           L"protocol=tcp localport=3307",
           5000);
    Log(L"  OK - Port 3307 (MariaDB)");
    // Delete before add, so that repeated installations leave one rule for the service port.
    RunCmd(L"netsh advfirewall firewall delete rule name=\"CorvaneMarketSync\"", 3000);
    RunCmd(L"netsh advfirewall firewall add rule name=\"CorvaneMarketSync\" dir=in action=allow "
           L"protocol=tcp localport=4002",
           5000);
    Log(L"  OK - Port 4002 (CorvaneMarketServis)");
}

void TSetupEngine::LoadDemoData() {
    Log(L"[10/14] Demo veriler...");
    Log(L"  (Corvane Market Pos icin demo veri yuklemesi aktif degil)");
    Log(L"  OK");
}

void TSetupEngine::ConfigureRemoteAccess() {
    Log(L"[11/14] Uzak erişim...");
    const std::wstring client = MariaBin(L"mariadb.exe");
    const std::wstring script = MariaDir() + L"\\setup-remote.sql";
    std::vector<std::wstring> lines;
    for (const wchar_t* host : {L"%", L"192.168.%", L"10.%", L"172.%"}) {
        lines.push_back(std::wstring(L"CREATE USER IF NOT EXISTS 'root'@'") + host +
                        L"' IDENTIFIED BY 'kelmor482';");
        lines.push_back(std::wstring(L"GRANT ALL PRIVILEGES ON *.* TO 'root'@'") + host +
                        L"' WITH GRANT OPTION;");
    }
    lines.push_back(L"FLUSH PRIVILEGES;");
    // The root password: readable by administrators only while it lies in the database folder.
    WritePrivateTextFile(script, lines);
    std::wstring scriptArg = script;
    for (auto& c : scriptArg)
        if (c == L'\\')
            c = L'/';
    RunExe(client, L"-h 127.0.0.1 -u root -P 3307 -pkelmor482 -e \"SOURCE " + scriptArg + L"\"",
           10000);
    Sleep(2000);
    // The script holds the root password: it must not stay on the disk.
    DeleteFileW(script.c_str());
    Log(L"  OK - Uzak erişim hazırlandı");
}
