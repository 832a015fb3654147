#pragma once
// An engine on a scripted host, with its events in a journal and its folders on the prefix's
// D: and E: drives, cleaned before and after each test.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "../engine/EngineAccess.h"
#include "../engine/Journal.h"
#include "../engine/ScriptedHost.h"
#include "../engine/TestFiles.h"

inline std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        bytes.append(buf, got);
    CloseHandle(h);
    return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot write test file";
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

class StepTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clean();
        auto h = std::make_unique<TScriptedHost>(journal);
        host = h.get();
        engine = std::make_unique<TSetupEngine>(std::move(h));
        BindEvents(*engine, journal);
        engine->SetInstallDir(L"D:\\CorvaneZideroZur");
        engine->SetDbDrive(L"D");
        host->CmdResults[L"sc query CorvaneDB"] = 1060;
    }
    void TearDown() override {
        engine.reset();
        Clean();
    }
public:
    static void Clean() {
        for (const auto* dir : {L"D:\\CorvaneOrtakData", L"E:\\CorvaneOrtakData",
                                L"D:\\CorvaneZideroZur", L"E:\\CorvaneZideroZur", L"D:\\kaynak"})
            RemoveTree(dir);
    }

protected:
    void Step(const std::string& name) { TSetupEngineTestAccess::Step(*engine, name); }
    std::vector<std::wstring> Logs() const { return journal.Only(L"log|"); }

    TJournal journal;
    TScriptedHost* host = nullptr;
    std::unique_ptr<TSetupEngine> engine;
};
