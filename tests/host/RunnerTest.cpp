// RunCmd and RunExe against real programs under the system: exit codes and their log lines,
// time-outs, start failures, the working folder and hidden start-up.
#include <map>

#include "HostTestSupport.h"
#include "uHardening.h"
#include "uWin32Seam.h"

namespace {

using Lines = std::vector<std::wstring>;

// key=value lines written by a stand-in started with --standin-report.
std::map<std::string, std::string> ReadReport(const std::wstring& path) {
    std::map<std::string, std::string> out;
    const std::string text = ReadText(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 2;
    }
    return out;
}

std::wstring Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return Widen(s);
}

// A copy of a stand-in under a name no other test uses, so that it can be found by name.
std::wstring PrivateCopy(const TTempDir& dir, const std::wstring& standin,
                         const std::wstring& name) {
    const std::wstring path = dir / name;
    EXPECT_TRUE(::CopyFileW(Standin(standin).c_str(), path.c_str(), FALSE));
    return path;
}

// True once the program shows up by name (a command interpreter may start it a little late).
bool SeenRunning(TRecordingHost& host, const std::wstring& name) {
    for (int i = 0; i < 100; ++i) {
        if (host.IsProcessRunning(name))
            return true;
        ::Sleep(50);
    }
    return false;
}

} // namespace

TEST(RunnerExitCodes, ZeroGivesOnlyTheCommandLine) {
    TRecordingHost host;
    EXPECT_EQ(host.RunCmd(L"exit 0", 10000), 0);
    EXPECT_EQ(host.RunExe(Standin(L"TarvikBridge.exe"), L"--standin-exit=0", 10000), 0);
    EXPECT_EQ(host.Lines, (Lines{L"  > exit 0", L"  > TarvikBridge.exe --standin-exit=0"}));
}

TEST(RunnerExitCodes, NonZeroIsLoggedUnsignedAndReturnedSigned) {
    TRecordingHost host;
    EXPECT_EQ(host.RunCmd(L"exit 3", 10000), 3);
    EXPECT_EQ(host.RunExe(Standin(L"OmnelBridge.exe"), L"--standin-exit=0xC0000005", 10000),
              -1073741819);
    EXPECT_EQ(host.Lines, (Lines{L"  > exit 3", L"    (çıkış: 3)",
                                 L"  > OmnelBridge.exe --standin-exit=0xC0000005",
                                 L"    (çıkış: 3221225477)"}));
}

TEST(RunnerExitCodes, CommandWithQuotedPartsRunsAsWritten) {
    TRecordingHost host;
    const std::wstring cmd = L"\"" + Standin(L"TarvikBridge.exe") + L"\" --standin-exit=7";
    EXPECT_EQ(host.RunCmd(cmd, 10000), 7);
    EXPECT_EQ(host.Lines, (Lines{L"  > " + cmd, L"    (çıkış: 7)"}));
}

TEST(RunnerTimeout, ReturnsStillActiveAndLeavesTheProcessRunning) {
    TTempDir dir;
    const std::wstring name = L"RunnerHang" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    const std::wstring exe = PrivateCopy(dir, L"TarvikBridge.exe", name);
    TRecordingHost host;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(host.RunExe(exe, L"--standin-life=30000", 400), 259);
    const ULONGLONG spent = ::GetTickCount64() - start;
    EXPECT_GE(spent, 390u);
    EXPECT_LT(spent, 5000u);
    EXPECT_EQ(host.Lines, (Lines{L"  > " + name + L" --standin-life=30000", L"    (çıkış: 259)"}));
    EXPECT_TRUE(SeenRunning(host, name));
    KillAllNamed(name);
    EXPECT_FALSE(host.IsProcessRunning(name));
}

TEST(RunnerTimeout, CommandInterpreterTimeoutLeavesTheCommandRunning) {
    TTempDir dir;
    const std::wstring name = L"RunnerCmdHang" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    const std::wstring exe = PrivateCopy(dir, L"OmnelBridge.exe", name);
    TRecordingHost host;
    EXPECT_EQ(host.RunCmd(L"\"" + exe + L"\" --standin-life=30000", 500), 259);
    ASSERT_EQ(host.Lines.size(), 2u);
    EXPECT_EQ(host.Lines[1], L"    (çıkış: 259)");
    EXPECT_TRUE(SeenRunning(host, name));
    KillAllNamed(name);
}

TEST(RunnerStartFailure, MissingProgramGivesMinusOneAndTheSystemText) {
    TTempDir dir;
    TRecordingHost host;
    EXPECT_EQ(host.RunExe(dir / L"NoSuchProgram.exe", L"/install", 5000), -1);
    EXPECT_EQ(host.Lines,
              (Lines{L"  > NoSuchProgram.exe /install",
                     L"    ! Çalıştırılamadı: " + SysErrorMessage(ERROR_FILE_NOT_FOUND)}));
}

TEST(RunnerStartFailure, MissingFolderNamesTheMissingProgramNotTheWorkingFolder) {
    TTempDir dir;
    TRecordingHost host;
    EXPECT_EQ(host.RunExe(dir / L"missing\\bin\\mariadbd.exe", L"--install CorvaneDB", 5000), -1);
    ASSERT_EQ(host.Lines.size(), 2u);
    EXPECT_EQ(host.Lines[0], L"  > mariadbd.exe --install CorvaneDB");
    EXPECT_TRUE(host.Lines[1] ==
                    L"    ! Çalıştırılamadı: " + SysErrorMessage(ERROR_FILE_NOT_FOUND) ||
                host.Lines[1] == L"    ! Çalıştırılamadı: " + SysErrorMessage(ERROR_PATH_NOT_FOUND))
        << "got: " << std::string(host.Lines[1].begin(), host.Lines[1].end());
}

TEST(RunnerStartFailure, EmptyArgumentsStillLogTheBlank) {
    TTempDir dir;
    TRecordingHost host;
    host.RunExe(dir / L"Gone.exe", L"", 5000);
    ASSERT_FALSE(host.Lines.empty());
    EXPECT_EQ(host.Lines[0], L"  > Gone.exe ");
}

TEST(RunnerWorkingFolder, CommandsRunInSystem32NeverTheInstallFolder) {
    TTempDir dir;
    TRecordingHost host;
    host.SetInstallDir(dir.Path());
    host.RunCmd(L"cd > \"" + dir / L"cwd.txt" + L"\"", 10000);
    std::wstring system32 = System32Path(L"");
    system32.pop_back();
    EXPECT_EQ(CompareStringOrdinal(Trimmed(ReadText(dir / L"cwd.txt")).c_str(), -1,
                                   system32.c_str(), -1, TRUE),
              CSTR_EQUAL);
}

// What CreateProcessW is asked for: the program by its full path, its command line, its working
// folder and its environment block (one "name=value" per line here).
struct TStart {
    std::wstring App, Line, Dir, Env;
    DWORD Flags;
};
std::vector<TStart> gStarts;

BOOL WINAPI RecordStart(LPCWSTR app, LPWSTR line, LPSECURITY_ATTRIBUTES pa,
                        LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                        LPCWSTR dir, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) {
    std::wstring block;
    for (auto p = static_cast<const wchar_t*>(env); p && *p; p += wcslen(p) + 1)
        block += std::wstring(p) + L"\n";
    gStarts.push_back({app ? app : L"", line, dir ? dir : L"", block, flags});
    return ::CreateProcessW(app, line, pa, ta, inherit, flags, env, dir, si, pi);
}

TEST(RunnerStart, ToolsDirectCmdWithoutAutoRunAndNothingOfTheUsersEnvironment) {
    TTempDir dir;
    TRecordingHost host;
    host.SetInstallDir(dir.Path());
    ::SetEnvironmentVariableW(L"CORVANE_USER_MARK", L"from the user");
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    gStarts.clear();
    vpfnCreateProcessW = RecordStart;
    EXPECT_NE(host.RunCmd(L"sc query CorvaneNoSuchService", 10000), -1);
    EXPECT_EQ(host.RunCmd(L"exit 5", 10000), 5);
    EXPECT_EQ(host.RunExe(Standin(L"TarvikBridge.exe"), L"--standin-exit=0", 10000), 0);
    ResetWin32Seam();
    ::SetEnvironmentVariableW(L"CORVANE_USER_MARK", nullptr);
    std::wstring system32 = System32Path(L"");
    system32.pop_back();
    ASSERT_EQ(gStarts.size(), 3u);
    EXPECT_EQ(gStarts[0].App, System32Path(L"sc.exe"));
    EXPECT_EQ(gStarts[0].Line, L"\"" + System32Path(L"sc.exe") + L"\" query CorvaneNoSuchService");
    EXPECT_EQ(gStarts[1].App, System32Path(L"cmd.exe"));
    EXPECT_EQ(gStarts[1].Line, L"\"" + System32Path(L"cmd.exe") + L"\" /D /C \"exit 5\"");
    EXPECT_EQ(gStarts[0].Dir, system32);
    EXPECT_EQ(gStarts[1].Dir, system32);
    EXPECT_EQ(gStarts[2].App, Standin(L"TarvikBridge.exe"));
    EXPECT_EQ(gStarts[2].Dir, StandinsDir());
    for (const TStart& start : gStarts) {
        EXPECT_NE(start.Flags & CREATE_UNICODE_ENVIRONMENT, 0u);
        EXPECT_EQ(start.Env.find(L"CORVANE_USER_MARK"), std::wstring::npos);
        EXPECT_NE(start.Env.find(L"\nPATH=" + system32 + L";"), std::wstring::npos) << start.Env;
        EXPECT_NE(start.Env.find(L"ComSpec=" + system32 + L"\\cmd.exe\n"), std::wstring::npos);
        EXPECT_EQ(start.Env.find(L"TEMP=" + std::wstring(temp) + L"\n"), std::wstring::npos);
        EXPECT_NE(start.Env.find(L"\nTEMP="), std::wstring::npos);
    }
    EXPECT_EQ(host.Lines.at(0), L"  > sc query CorvaneNoSuchService");
    EXPECT_EQ(host.Lines.at(host.Lines.size() - 1), L"  > TarvikBridge.exe --standin-exit=0");
}

// Programs named like the tools, planted in the working folder (the installation folder) and in
// the current folder: the commands still reach System32's, and the log shows them as written.
TEST(RunnerWorkingFolder, WindowsToolsComeFromSystem32Only) {
    TTempDir dir;
    TRecordingHost host;
    const std::wstring installDir = dir / L"CorvaneZideroZur";
    host.SetInstallDir(installDir);
    ASSERT_TRUE(::CreateDirectoryW(installDir.c_str(), nullptr));
    const std::wstring planted = Standin(L"planted-tool.exe");
    for (const std::wstring& folder : {installDir, CurrentDir()})
        for (const wchar_t* tool : {L"cmd.exe", L"sc.exe", L"net.exe", L"taskkill.exe"})
            ASSERT_TRUE(::CopyFileW(planted.c_str(), (folder + L"\\" + tool).c_str(), FALSE));
    host.RunCmd(L"sc query CorvaneNoSuchService", 10000);
    host.RunCmd(L"net start CorvaneNoSuchService", 10000);
    host.RunCmd(L"taskkill /F /IM CorvaneNoSuchProgram.exe", 10000);
    for (const std::wstring& folder : {installDir, CurrentDir()})
        for (const wchar_t* tool : {L"cmd.exe", L"sc.exe", L"net.exe", L"taskkill.exe"}) {
            EXPECT_FALSE(FileExists(folder + L"\\" + tool + L".ran")) << folder << L" " << tool;
            ::DeleteFileW((folder + L"\\" + tool).c_str());
            ::DeleteFileW((folder + L"\\" + tool + L".ran").c_str());
        }
    EXPECT_EQ(host.Lines.at(0), L"  > sc query CorvaneNoSuchService");
}

TEST(RunnerWorkingFolder, ProgramsRunInTheirOwnFolder) {
    TTempDir dir;
    const std::wstring exe = PrivateCopy(dir, L"TarvikBridge.exe", L"Tarvik.exe");
    TRecordingHost host;
    host.SetInstallDir(CurrentDir());
    EXPECT_EQ(
        host.RunExe(exe, L"--standin-exit=0 --standin-report=\"" + dir / L"r.txt" + L"\"", 10000),
        0);
    EXPECT_EQ(Widen(ReadReport(dir / L"r.txt")["cwd"]), dir.Path());
}

TEST(RunnerHidden, ProgramsStartHiddenWithoutConsoleWindow) {
    TTempDir dir;
    TRecordingHost host;
    EXPECT_EQ(host.RunExe(Standin(L"mariadb-install-db.exe"),
                          L"--standin-exit=0 --standin-report=\"" + dir / L"exe.txt" + L"\"",
                          10000),
              0);
    auto r = ReadReport(dir / L"exe.txt");
    EXPECT_EQ(r["flags"], std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(r["show"], std::to_string(SW_HIDE));
    EXPECT_EQ(r["console"], "0");
}

TEST(RunnerHidden, CommandsRunWithoutConsoleWindow) {
    TTempDir dir;
    TRecordingHost host;
    EXPECT_EQ(host.RunCmd(L"\"" + Standin(L"mariadb.exe") +
                              L"\" --standin-exit=0 --standin-report=\"" + dir / L"cmd.txt" + L"\"",
                          10000),
              0);
    auto r = ReadReport(dir / L"cmd.txt");
    EXPECT_EQ(r["console"], "0");
}
