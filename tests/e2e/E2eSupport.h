#pragma once
// End-to-end runs of the engine on the test prefix: the demo payloads, an engine on the real
// host (waits recorded and shortened), and a machine put back to clean before and after.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "../engine/Journal.h"
#include "../host/HostTestSupport.h"
#include "uSetupEngine.h"

std::wstring DemoPayload(const std::wstring& version);

// Stops and deletes both services, ends the application's processes, removes the installation,
// shared data and backup folders on D: and E:, the uninstall key and the desktop shortcut.
void ResetMachine();

// The demo payload of that version as the engine's source, on D:, no demo data, firewall rules
// or remote access, with the desktop shortcut when asked.
void ConfigureDemo(TSetupEngine& e, const std::wstring& version, bool shortcut);

// One engine run on the real host, with its events in a journal.
class TEngineRun {
public:
    TEngineRun();
    TSetupEngine& Engine() { return *FEngine; }
    TRecordingHost& Host() { return *FHost; }
    // Runs to the end (bounded) and returns whether it reported success.
    bool Run(std::chrono::seconds limit = std::chrono::seconds(240));
    std::vector<std::wstring> Logs() const { return FJournal.Only(L"log|"); }
    std::vector<int> Percents() const;
    std::wstring FinishedEntry() const;
    // Whether the line was logged; a failure prints the run's log.
    ::testing::AssertionResult Logged(const std::wstring& line) const;
    // The log lines and every program the run started, with its bound, time and result.
    std::wstring LogText() const;
    TJournal& Journal() { return FJournal; }

private:
    TJournal FJournal;
    TRecordingHost* FHost = nullptr;
    std::unique_ptr<TSetupEngine> FEngine;
};
