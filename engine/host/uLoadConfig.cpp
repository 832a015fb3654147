// The PE load configuration of our executables. GNU ld fills the image's load-config directory
// from the symbol _load_config_used when an object defines it (its size from the structure's
// first field); mingw-w64's runtime defines none, so we provide it. Its one purpose here is
// DependentLoadFlags: the loader itself then resolves the DLLs of our imports and of theirs from
// System32 only, before any of our code can run.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// The 64-bit layout as Windows 8.1 introduced it (0x94 bytes); the headers of this toolchain
// still call DependentLoadFlags "Reserved1" and stop before the guard fields.
struct TLoadConfig64 {
    uint32_t Size;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t GlobalFlagsClear;
    uint32_t GlobalFlagsSet;
    uint32_t CriticalSectionDefaultTimeout;
    uint64_t DeCommitFreeBlockThreshold;
    uint64_t DeCommitTotalFreeThreshold;
    uint64_t LockPrefixTable;
    uint64_t MaximumAllocationSize;
    uint64_t VirtualMemoryThreshold;
    uint64_t ProcessAffinityMask;
    uint32_t ProcessHeapFlags;
    uint16_t CSDVersion;
    uint16_t DependentLoadFlags;
    uint64_t EditList;
    uint64_t SecurityCookie;
    uint64_t SEHandlerTable;
    uint64_t SEHandlerCount;
    uint64_t GuardCFCheckFunctionPointer;
    uint64_t GuardCFDispatchFunctionPointer;
    uint64_t GuardCFFunctionTable;
    uint64_t GuardCFFunctionCount;
    uint32_t GuardFlags;
};

static_assert(offsetof(TLoadConfig64, DependentLoadFlags) == 0x4E);
static_assert(offsetof(TLoadConfig64, GuardFlags) == 0x90);

} // namespace

extern "C" {
// Referenced by nobody but the linker, hence "used".
extern const TLoadConfig64 _load_config_used;
__attribute__((used)) const TLoadConfig64 _load_config_used = {
    0x94, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32,
    0,    0, 0, 0, 0, 0, 0, 0, 0};
}
