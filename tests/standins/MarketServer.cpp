// CorvaneMarketServer.exe: "/install" registers this program as the service
// CorvaneMarketService and exits; "/uninstall" removes the service; run by the service manager
// it stays up until stopped; started by hand it stays up until ended.
#include "StandinCommon.h"

namespace {
const wchar_t* const kServiceName = L"CorvaneMarketService";
}

int main() {
    const TStandin s = StandinStart(::GetCommandLineW());
    bool install = false, uninstall = false;
    for (const auto& a : s.Args) {
        if (_wcsicmp(a.c_str(), L"/install") == 0)
            install = true;
        else if (_wcsicmp(a.c_str(), L"/uninstall") == 0)
            uninstall = true;
    }
    if (install) {
        // The service runs this same program with the same misbehaviour switches.
        std::wstring image = L"\"" + s.ExePath + L"\"";
        for (const auto& p : s.Options.Passed)
            image += L" " + QuoteArg(p);
        const DWORD err = InstallService(kServiceName, image);
        if (err != NO_ERROR)
            PrintErr(L"CorvaneMarketService could not be installed: error " + std::to_wstring(err));
        return static_cast<int>(err);
    }
    if (uninstall)
        return static_cast<int>(UninstallService(kServiceName));
    if (RunAsService(kServiceName, s.Options, TServiceBody{}))
        return 0;
    return StayUp(s.Options, s.ExeName);
}
