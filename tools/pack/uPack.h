#pragma once
// The packer's commands, callable from tests:
//   pack STUB.exe DIR OUT.exe   append a ZIP of DIR and the trailer to a copy of STUB
//   list SETUP.exe              show the entries of a setup file's payload
//   extract SETUP.exe DIR       extract it with the setup program's own reader and checks
// Returns the exit code: 0 done, 1 failed (message on err), 2 wrong usage.
#include <ostream>
#include <string>
#include <vector>

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
