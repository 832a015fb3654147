#pragma once
// Log files of our programs: %ProgramData%\CorvaneMarket\Logs\<prefix>-YYYYMMDD-HHMMSS.log,
// UTF-8, each line followed by CR LF.
#include <mutex>
#include <string>

// %ProgramData%\CorvaneMarket\Logs, or empty when the system does not name ProgramData.
std::wstring LogsFolder();

class TLogFile {
public:
    TLogFile() = default;
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Creates the folder when needed and a new file named by the prefix and the local time.
    bool Open(const std::wstring& prefix);
    // Any thread; a file that could not be opened takes nothing.
    void WriteLine(const std::wstring& line);
    const std::wstring& Path() const { return FPath; }

private:
    std::mutex FLock;
    void* FFile = nullptr;
    std::wstring FPath;
};
