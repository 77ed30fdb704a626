// Expansion of files compressed in the "SZDD" format of the system's
// compress tool, in the shape of the LZ functions (LZOpenFileA, GetExpandedNameA,
// LZCopy, LZClose).
#pragma once

#include <string>

namespace lz {

// Handles are small non-negative integers; negative values are the LZERROR_
// codes below.
using Handle = int;
enum : int {
  LZERROR_BADINHANDLE = -1,
  LZERROR_BADOUTHANDLE = -2,
  LZERROR_READ = -3,
  LZERROR_WRITE = -4,
  LZERROR_GLOBALLOC = -5,
  LZERROR_BADVALUE = -7,
  LZERROR_UNKNOWNALG = -8,
};

enum class OpenMode { Read, Create };

// Read: opens a file for expansion (a plain file is copied unchanged).
// Create: creates (truncates) a target file. The target is written under a
// temporary name beside it and put in place by LZClose, so a failed copy
// leaves an existing file as it was; a replaced file keeps its permissions.
Handle LZOpenFile(const std::string& path, OpenMode mode);
// The name the file had before compression: the path with the stored last
// character put back in place of the trailing "_" (in the case of the name's
// last letter; the "_" is just dropped when no character is stored). A plain
// file, or a name without a trailing "_", keeps its name. Returns 1 and fills
// expanded on success, as the Windows function does.
int GetExpandedName(const std::string& path, std::string& expanded);
// Expands the source into the target; the number of bytes written, or an
// LZERROR_ code (LZERROR_READ for a truncated or damaged file).
long LZCopy(Handle source, Handle target);
void LZClose(Handle handle);

}  // namespace lz
