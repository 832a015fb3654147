#include "E2eSupport.h"

#include <algorithm>

#include "../engine/TestFiles.h"

std::wstring DemoPayload(const std::wstring& version) {
    // <build>\standins -> <build>\demo\payload-<version>
    const std::wstring standins = StandinsDir();
    return standins.substr(0, standins.find_last_of(L'\\')) + L"\\demo\\payload-" + version;
}

void ResetMachine() {
    RemoveServiceHard(L"CorvaneMarketService");
    RemoveServiceHard(L"CorvaneDB");
    for (const auto* exe : {L"CorvaneMarketServer.exe", L"mariadbd.exe", L"CorvaneZideroZUR.exe",
                            L"TarvikBridge.exe", L"OmnelBridge.exe", L"mariadb.exe"})
        KillAllNamed(exe);
    for (const auto* dir :
         {L"D:\\CorvaneZideroZur", L"D:\\CorvaneOrtakData", L"D:\\CorvaneUpdateYedek",
          L"D:\\CorvaneUpdateYedek.onceki", L"E:\\CorvaneZideroZur", L"E:\\CorvaneOrtakData",
          L"E:\\CorvaneUpdateYedek", L"E:\\CorvaneUpdateYedek.onceki"})
        RemoveTree(dir);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                  L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos");
    TEngineRun probe;
    DeleteFileW((probe.Engine().GetDesktopPath() + L"\\Corvane Market Pos.lnk").c_str());
}

void ConfigureDemo(TSetupEngine& e, const std::wstring& version, bool shortcut) {
    e.SetInstallDir(L"D:\\CorvaneZideroZur");
    e.SetDbDrive(L"D");
    e.SetSourceDir(DemoPayload(version));
    e.SetOptDemoData(false);
    e.SetOptDesktopShortcut(shortcut);
    e.SetOptFirewall(false);
    e.SetOptRemoteAccess(false);
    e.SetOptCorvaneSync(true);
}

TEngineRun::TEngineRun() {
    auto host = std::make_unique<TRecordingHost>();
    // Give services and processes a moment per recorded wait: they are real. Checks of their
    // state afterwards wait for it (ServiceReaches).
    host->RealSleepMs = 150;
    host->ProgramWaitMs = 120000;
    FHost = host.get();
    FEngine = std::make_unique<TSetupEngine>(std::move(host));
    BindEvents(*FEngine, FJournal);
}

bool TEngineRun::Run(std::chrono::seconds limit) {
    if (!FEngine->Execute())
        return false;
    const bool ended = FJournal.WaitFor(L"finished|", limit);
    EXPECT_TRUE(ended) << "run did not end in time";
    for (int i = 0; i < 100 && FEngine->IsRunning(); ++i)
        ::Sleep(50);
    return ended && FinishedEntry() == L"finished|1|";
}

std::vector<int> TEngineRun::Percents() const {
    std::vector<int> out;
    for (const auto& p : FJournal.Only(L"progress|"))
        out.push_back(std::stoi(p.substr(0, p.find(L'|'))));
    return out;
}

std::wstring TEngineRun::FinishedEntry() const {
    const auto f = FJournal.Only(L"finished|");
    return f.empty() ? std::wstring() : L"finished|" + f.back();
}

::testing::AssertionResult TEngineRun::Logged(const std::wstring& line) const {
    const auto logs = Logs();
    const bool found = std::find(logs.begin(), logs.end(), line) != logs.end();
    return (found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << Narrow(line) << (found ? " logged" : " not logged") << "; the run:\n"
           << Narrow(LogText());
}

std::wstring TEngineRun::LogText() const {
    std::wstring all;
    for (const auto& l : Logs())
        all += l + L"\n";
    return all + FHost->ProgramsText();
}
