// The application's connection files (pos-config.json) for the till and the back-office service.
#include "uFileUtil.h"
#include "uHardening.h"
#include "uSetupEngine.h"

void TSetupEngine::WriteConfigFiles() {
    Log(L"[5/14] Config dosyaları...");
    const std::vector<std::wstring> common = {
        L"{",
        L"  \"provider\": \"mysql\",",
        L"  \"host\": \"127.0.0.1\",",
        L"  \"port\": 3307,",
        L"  \"database\": \"corvaneposdb\",",
        L"  \"user\": \"root\",",
    };

    Log(L"  pos-config.json...");
    std::vector<std::wstring> till = common;
    till.insert(till.end(), {L"  \"password\": \"kelmor482\"", L"}"});
    WriteTextFile(FInstallDir + L"\\pos-config.json", till);
    // The till program runs as the signed-in user and may change its own settings.
    std::wstring grantError;
    if (!AllowUsersToWrite(FInstallDir + L"\\pos-config.json", grantError))
        Log(L"  ! pos-config.json kullanıcılara yazılabilir yapılamadı: " + grantError);
    Log(L"    OK");

    const std::wstring serviceDir = FInstallDir + L"\\CorvaneMarketServis";
    if (DirectoryExists(FSourceDir + L"\\CorvaneMarketServis") || DirectoryExists(serviceDir)) {
        Log(L"  CorvaneMarketServis\\pos-config.json...");
        ForceDirectories(serviceDir);
        std::vector<std::wstring> service = common;
        service.insert(service.end(),
                       {L"  \"password\": \"kelmor482\",", L"  \"server_port\": 4002", L"}"});
        WriteTextFile(serviceDir + L"\\pos-config.json", service);
        Log(L"    OK");
    }
    Log(L"  Tüm config dosyaları oluşturuldu");
}
