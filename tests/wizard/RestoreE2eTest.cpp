// Restore from the welcome page from end to end on the test prefix: an installation made by the
// engine from demo payload 1.0.0, a full update to 1.1.0 that leaves its backup, then the real
// window, on the real host with the stand-ins, restoring that backup after the user's Yes.
#include <winsock2.h>

#include "../e2e/E2eSupport.h"
#include "../engine/EngineAccess.h"

#include <deque>
#include <map>

#include "uMain.h"

namespace {

const std::wstring kInstall = L"D:\\CorvaneZideroZur";
const std::wstring kBackup = L"D:\\CorvaneUpdateYedek";

uint64_t Hash(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::map<std::wstring, uint64_t> Hashes(const std::wstring& dir) {
    std::map<std::wstring, uint64_t> out;
    for (const auto& rel : FilesUnder(dir))
        out[rel] = Hash(FileBytes(dir + L"\\" + rel));
    return out;
}

// The real host, waits shortened, posing as the setup file under test.
class TPosedHost : public TRecordingHost {
public:
    explicit TPosedHost(std::wstring exe) : FExe(std::move(exe)) {
        RealSleepMs = 150;
        ProgramWaitMs = 120000;
    }
    std::wstring ExePath() override { return FExe; }

private:
    std::wstring FExe;
};

// The real system, but message boxes answered by the test and nothing started by the shell.
class TE2eSystem : public TWizardSystem {
public:
    std::wstring Exe;
    std::deque<int> Answers;
    std::vector<std::wstring> Boxes;

    std::wstring ExePath() override { return Exe; }
    int ShowMessageBox(HWND, const std::wstring& text, UINT) override {
        Boxes.push_back(text);
        if (Answers.empty())
            return IDOK;
        const int answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    INT_PTR ShellExecuteFile(HWND, const wchar_t*, const std::wstring&, const wchar_t*,
                             const std::wstring&, int) override {
        return 42;
    }
    std::unique_ptr<TSetupEngine> CreateEngine() override {
        return std::make_unique<TSetupEngine>(std::make_unique<TPosedHost>(Exe));
    }
};

std::wstring Text(HWND wnd) {
    const int len = GetWindowTextLengthW(wnd);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(wnd, text.data(), len + 1)));
    return text;
}

// The control's own visibility: the window itself stays hidden in this test.
bool Shown(HWND wnd) {
    return (GetWindowLongW(wnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

} // namespace

class RestoreE2e : public testing::Test {
protected:
    void SetUp() override {
        ResetMachine();
        TEngineRun install;
        ConfigureDemo(install.Engine(), L"1.0.0", false);
        ASSERT_TRUE(install.Run()) << Narrow(install.LogText());
        before = Hashes(kInstall);
        TEngineRun update;
        ConfigureDemo(update.Engine(), L"1.1.0", false);
        TSetupEngineTestAccess::SetUpdateMode(update.Engine(), true, true);
        ASSERT_TRUE(update.Run()) << Narrow(update.LogText());
    }
    void TearDown() override {
        form.reset();
        ResetMachine();
    }

    std::map<std::wstring, uint64_t> before;
    TE2eSystem sys;
    std::unique_ptr<TfrmSetup> form;
};

TEST_F(RestoreE2e, RestoreOfAnUpdatesBackupPutsThePreviousFilesBack) {
    // What the restore must bring back: every file the update's backup holds, as installed.
    std::vector<std::wstring> backedUp;
    for (const auto& rel : FilesUnder(kBackup))
        if (rel != L"backup.info" && rel != L"surum.info")
            backedUp.push_back(rel);
    ASSERT_FALSE(backedUp.empty());
    ASSERT_NE(Hashes(kInstall).at(L"CorvaneZideroZUR.exe"), before.at(L"CorvaneZideroZUR.exe"))
        << "the update changed nothing";

    // The restore does not depend on the setup file's name: the update's own file offers it.
    sys.Exe = L"C:\\dl\\CorvaneMarketUpdate-1.1.0.exe";
    form = std::make_unique<TfrmSetup>(sys);
    ASSERT_TRUE(form->Create(SW_HIDE));
    EXPECT_EQ(Text(form->Control(L"lblYedekBilgi")).rfind(L"Yedek mevcut: ", 0), 0u)
        << Narrow(Text(form->Control(L"lblYedekBilgi")));
    HWND button = form->Control(L"btnGeriYukle");
    ASSERT_TRUE(IsWindowEnabled(button));
    sys.Answers = {IDYES};
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    ASSERT_EQ(sys.Boxes.size(), 1u);
    EXPECT_EQ(sys.Boxes[0].rfind(L"GERI YUKLEME ONAYI\r\n", 0), 0u);

    HWND finish = form->Control(L"tsFinish");
    HWND title = form->Control(L"lblInstallTitle");
    ASSERT_TRUE(PumpUntil([&] { return Shown(finish) || Text(title) == L"Hata Oluştu!"; }, 120000));
    ASSERT_TRUE(Shown(finish)) << Narrow(Text(form->Control(L"lblCurrentStep"))) << "\n"
                               << Narrow(Text(form->Control(L"memoLog")));
    EXPECT_EQ(Text(form->Control(L"lblFinishTitle")), L"Geri Yükleme Tamamlandı!");

    const auto now = Hashes(kInstall);
    for (const auto& rel : backedUp) {
        ASSERT_EQ(now.count(rel), 1u) << Narrow(rel);
        EXPECT_EQ(now.at(rel), before.at(rel)) << Narrow(rel);
    }
    EXPECT_EQ(now.count(L"backup.info"), 0u);
    // backup.info and surum.info beside the files: the backup is kept.
    EXPECT_EQ(Hashes(kBackup).size(), backedUp.size() + 2) << "the backup is kept";
    // Closes like any finished run.
    SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(form->Handle(), nullptr);
}
