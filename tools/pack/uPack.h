#pragma once
// The packer's commands, callable from tests:
//   pack STUB.exe DIR OUT.exe   append a ZIP of DIR and the trailer to a copy of STUB
//   list SETUP.exe              show the entries of a setup file's payload
//   extract SETUP.exe DIR       extract it with the setup program's own reader and checks
//   verify SETUP.exe [DIR]      read it through without writing: trailer, every entry's CRC-32,
//                               signature present or not; with DIR, every file against DIR
//   stamp PROGRAM.exe X.Y.Z     write a release's version into a built program's version resource
// Returns the exit code: 0 done, 1 failed (message on err), 2 wrong usage.
#include <ostream>
#include <string>
#include <vector>

#include "uZipWriter.h"

// The limits of a classic ZIP archive (no ZIP64); tests make them small.
struct TPackLimits {
    size_t MaxEntries = TZipWriter::MAX_ENTRIES;
    uint64_t MaxArchive = TZipWriter::MAX_ARCHIVE; // the archive stays below this many bytes
};

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            const TPackLimits& limits = TPackLimits());
