#pragma once
// The ordinary error of the engine: every failure inside a run is one of these, carrying the
// message that reaches the log and the window unchanged.
#include <exception>
#include <string>

class ESetupError : public std::exception {
public:
    explicit ESetupError(std::wstring msg) : FMessage(std::move(msg)) {}
    const std::wstring& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return "ESetupError"; }

private:
    std::wstring FMessage;
};

// The message of an error that is not our own (out of memory, a library's error) as text.
inline std::wstring ErrorText(const std::exception& e) {
    std::wstring text;
    for (const char* p = e.what(); *p; ++p)
        text += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return text;
}
