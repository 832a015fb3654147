// A small library that stands in for the till program's DLLs in the demo payload.
extern "C" __declspec(dllexport) int CorvaneDemoVersion() { return DEMO_VERSION; }
