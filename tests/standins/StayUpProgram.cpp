// CorvaneZideroZUR.exe, TarvikBridge.exe and OmnelBridge.exe: programs that stay up until they
// are ended (taskkill /F, or WM_CLOSE to their hidden window).
#include "StandinCommon.h"

int main() {
    const TStandin s = StandinStart(::GetCommandLineW());
    return StayUp(s.Options, s.ExeName);
}
