#pragma once
// Test access to the engine's private operations (the class is a friend of TSetupEngine).
#include <stdexcept>
#include <string>

#include "uSetupEngine.h"

class TSetupEngineTestAccess {
public:
    static bool Destroying(const TSetupEngine& e) { return e.FDestroying; }
    static void Log(TSetupEngine& e, const std::wstring& msg) { e.Log(msg); }
    static void StopProcesses(TSetupEngine& e) { e.StopProcesses(); }
    static bool BackupCreated(const TSetupEngine& e) { return e.FBackupCreated; }
    static void SetUpdateMode(TSetupEngine& e, bool isUpdate, bool isFull) {
        e.FIsUpdate = isUpdate;
        e.FIsFullUpdate = isFull;
    }

    // Runs one step on the calling thread, by name.
    static void Step(TSetupEngine& e, const std::string& name) {
        if (name == "CreateFolders")
            e.CreateFolders();
        else if (name == "WriteMyIni")
            e.WriteMyIni();
        else if (name == "WriteConfigFiles")
            e.WriteConfigFiles();
        else if (name == "InitMariaDB")
            e.InitMariaDB();
        else if (name == "InstallDBService")
            e.InstallDBService();
        else if (name == "ConfigureFirewall")
            e.ConfigureFirewall();
        else if (name == "LoadDemoData")
            e.LoadDemoData();
        else if (name == "ConfigureRemoteAccess")
            e.ConfigureRemoteAccess();
        else if (name == "PreflightCheck")
            e.PreflightCheck();
        else if (name == "CopyFiles")
            e.CopyFiles();
        else if (name == "InstallAppService")
            e.InstallAppService();
        else if (name == "CreateShortcut")
            e.CreateShortcut();
        else if (name == "RegisterUninstall")
            e.RegisterUninstall();
        else if (name == "CreateBackup")
            e.CreateBackup();
        else if (name == "RestoreBackup")
            e.RestoreBackup();
        else
            throw std::invalid_argument("unknown step " + name);
    }
    static int64_t EstimateBackupSize(TSetupEngine& e) { return e.EstimateBackupSize(); }
    static std::wstring BackupDirField(const TSetupEngine& e) { return e.FBackupDir; }
    static bool Cancelled(const TSetupEngine& e) { return e.FCancelled; }
};
