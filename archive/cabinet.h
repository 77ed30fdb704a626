// ExtractCabinet: unpacks every file of a cabinet into a folder through the
// cabinet service, re-creating the entries' sub-folders and giving each file
// the cabinet's stored time. Also the pieces that TCabArchive shares with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/cabinet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"

// Extracts the whole cabinet into targetFolder, which is expected to end with
// a separator (it is used as given: "C:\App" and the entry "a.dll" make
// "C:\Appa.dll"). An empty target folder extracts relative to the current
// folder. An existing file is replaced without question, whole: an entry is
// written beside it and renamed over it once complete, so whatever fails, an
// old file is either the new entry or as it was. Returns 0 when every entry
// was extracted, -1 otherwise (cabinet missing or unreadable, not a cabinet,
// corrupt data, a file that cannot be created or is read-only, an entry name
// that would land outside the target folder, a folder on an entry's way that
// is a link, or entries that declare more than the cabinet can hold or the
// disk can take, which is checked before anything is written). Files
// extracted before a failure stay. One extraction at a time: a call made
// while another runs returns -1 at once.
int ExtractCabinet(const std::string& cabinetPath, const std::string& targetFolder);

namespace archive {

// Why ExtractCabinet failed, in plain words, given the last error it left:
// the cabinet service itself says only that it did.
std::string WhyNotExtracted(const std::string& cabinetPath, const std::string& targetFolder,
                            std::uint32_t error);

// True when a cabinet entry name stays inside the folder it is extracted
// into: not empty, not absolute (a leading separator, which includes UNC
// names), no drive letter, and no ".." element, with "\" and "/" both taken
// as separators. Elements of dots and blanks only (such as "..." or ".. ")
// are refused as well, because Windows trims them to "..".
bool EntryNameIsSafe(const std::string& name);

// Creates a folder and its missing parents. Stops with success when nothing
// or only a drive root remains after one trailing separator is stripped,
// when the folder exists, or when it is its own parent. False when a folder
// could not be made; extraction sees that only when a file cannot be created.
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

// Destroys a cabinet service context on every way out.
struct FdiDestroy {
  void operator()(cabinet::HFDI fdi) const { cabinet::FDIDestroy(fdi); }
};
using FdiContextPtr = std::unique_ptr<cabinet::FdiContext, FdiDestroy>;

// True when the file can be opened for reading.
bool CanRead(const std::string& path);
// True when the file is a cabinet whose headers the context can read.
bool IsCabinetFile(cabinet::HFDI fdi, const std::string& path);

// Calls visit with the name and declared size of every entry of the
// cabinet, in stored order. Nothing is decompressed: the copy that lists
// them skips every entry. False when the cabinet cannot be read.
using EntryVisitor = std::function<void(const std::string& name, std::int32_t size)>;
bool ListCabinet(const std::string& cabinetPath, const EntryVisitor& visit);

// The most that a cabinet's entries may declare together, as a multiple of
// the cabinet's own size plus the uncompressed size of its folders. Entries
// as a cabinet maker writes them tile their folders, so they declare the
// folders' size once; a maker that points two entries at the same data
// declares it twice. Entries made to overlap one folder over and over (a
// 230 KB cabinet declaring 300 MB is more than a thousand times over) are
// refused, and what the multiple still lets through stays a small factor
// of what the cabinet really holds.
inline constexpr std::uint64_t kMaxDeclaredMultiple = 4;

// True when the entries of the cabinet may be written into the folder: what
// they declare stays within kMaxDeclaredMultiple and fits in the space free
// on the folder's volume (of the nearest existing folder above it when it
// does not exist yet). False with the last error set otherwise (invalid data
// for the first, disk full for the second), or when the cabinet cannot be
// read.
bool CabinetFitsTarget(const std::string& cabinetPath, const std::string& targetFolder);

// The files one extraction writes its entries to, below a target folder
// used as the entry points take it (with or without a trailing separator;
// empty for the current folder). Each entry goes to a temporary file beside
// its target, which is renamed over the target only when the entry is
// complete. Entry files still open when the object goes are deleted.
class EntryFiles {
 public:
  explicit EntryFiles(const std::string& targetFolder);
  EntryFiles(const EntryFiles&) = delete;
  EntryFiles& operator=(const EntryFiles&) = delete;

  // The path of an entry, with the folders on its way created; nothing when
  // the name would leave the target folder or a folder on the way is a link
  // (access denied).
  std::optional<std::string> Prepare(const std::string& entryName);
  // The handle that receives the entry (the answer to the copy-file
  // notification), or -1 when the path holds a read-only file or a folder
  // (access denied) or the temporary cannot be made.
  cabinet::INT_PTR Create(const std::string& path, std::int32_t declaredSize);
  // The close-file notification: stamps the stored time and renames the
  // entry over its path when it has its declared size. False with the last
  // error set when it does not or the rename fails; the temporary is gone
  // either way.
  bool Commit(cabinet::INT_PTR hf, std::uint16_t date, std::uint16_t time);
  // The close callback: a handle of an entry that never reached its
  // close-file notification (the copy failed) takes its temporary with it;
  // any other handle is closed.
  int Close(cabinet::INT_PTR hf);

 private:
  struct Entry {
    kernel::TemporaryFile file;
    std::string path;
    std::int64_t size;
  };
  std::vector<Entry>::iterator Find(cabinet::INT_PTR hf);

  std::string trusted_;            // the target folder up to its last separator
  std::string rest_;               // what follows it, the start of every entry's path
  std::set<std::string> checked_;  // the entries' folders, made and checked
  std::vector<Entry> open_;
};

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
