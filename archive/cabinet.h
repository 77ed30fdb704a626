// ExtractCabinet: unpacks every file of a cabinet into a folder through the
// cabinet service, re-creating the entries' sub-folders and giving each file
// the cabinet's stored time. Also the pieces that TCabArchive shares with it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/cabinet.h"
#include "platform/kernel.h"

// Extracts the whole cabinet into targetFolder, which is expected to end with
// a separator (it is used as given: "C:\App" and the entry "a.dll" make
// "C:\Appa.dll"). An empty target folder extracts relative to the current
// folder. An existing file is overwritten without question. Returns 0 when
// every entry was extracted, -1 otherwise (cabinet missing or unreadable, not
// a cabinet, corrupt data, a file that cannot be created, or an entry name
// that would land outside the target folder). Files extracted before a
// failure stay. One extraction at a time: a call made while another runs
// returns -1 at once.
int ExtractCabinet(const std::string& cabinetPath, const std::string& targetFolder);

namespace archive {

// True when a cabinet entry name stays inside the folder it is extracted
// into: not empty, not absolute (a leading separator, which includes UNC
// names), no drive letter, and no ".." element, with "\" and "/" both taken
// as separators. Elements of dots and blanks only (such as "..." or ".. ")
// are refused as well, because Windows trims them to "..".
bool EntryNameIsSafe(const std::string& name);

// Creates a folder and its missing parents. Stops with success when fewer
// than 3 characters remain after one trailing separator is stripped, when
// the folder exists, or when it is its own parent. A failure is only seen
// later, when a file cannot be created in it.
bool ForceDirectories(const std::string& folder);

// The file time of a DOS date and time taken as local time; both zero mean
// "now".
kernel::FileTime DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time);

// The folder part of a path up to and including its last "\" or "/" (empty
// when there is none).
std::string ExtractFilePath(const std::string& path);
// The part after the last "\" or "/".
std::string ExtractFileName(const std::string& path);
// The path made absolute against the current folder, in native form.
std::string ExpandFileName(const std::string& path);

// The plain callbacks both entry points give the cabinet service: the
// program's heap and the legacy file calls, passed through unchanged.
void* FdiAlloc(unsigned long cb);
void FdiFree(void* pv);
cabinet::INT_PTR FdiOpen(char* pszFile, int oflag, int pmode);
unsigned FdiRead(cabinet::INT_PTR hf, void* pv, unsigned cb);
unsigned FdiWrite(cabinet::INT_PTR hf, void* pv, unsigned cb);
int FdiClose(cabinet::INT_PTR hf);
long FdiSeek(cabinet::INT_PTR hf, long dist, int seektype);

}  // namespace archive
