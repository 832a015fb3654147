// The real host: placeholder until the host operations land.
#include "uHost.h"

std::unique_ptr<THost> CreateWindowsHost() { return nullptr; }
