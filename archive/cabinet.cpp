#include "archive/cabinet.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "archive/cabheaders.h"
#include "platform/lfile.h"

namespace archive {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsDotsAndBlanks(const std::string& element) {
  int dots = 0;
  for (char c : element) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

bool FolderExists(const std::string& folder) {
  const std::uint32_t attributes = kernel::GetFileAttributes(folder);
  return attributes != kernel::INVALID_FILE_ATTRIBUTES &&
         (attributes & kernel::FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool EntryNameIsSafe(const std::string& name) {
  if (name.empty() || IsSeparator(name[0])) return false;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
    return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (IsDotsAndBlanks(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

bool ForceDirectories(const std::string& folder) {
  std::string dir = kernel::NativePath(folder);
  if (!dir.empty() && IsSeparator(dir.back())) dir.pop_back();
  // A drive root ("C:") cannot be made; a folder named with one or two
  // letters can.
  const bool driveRoot =
      dir.size() == 2 && dir[1] == ':' && std::isalpha(static_cast<unsigned char>(dir[0]));
  if (dir.empty() || driveRoot || FolderExists(dir)) return true;
  const std::string parent = ExtractFilePath(dir);
  if (parent == dir) return true;
  // Another process may make it at the same time; it is there all the same.
  return ForceDirectories(parent) && (kernel::CreateDirectory(dir) || FolderExists(dir));
}

kernel::FileTime DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time) {
  if (date == 0 && time == 0) return std::chrono::system_clock::now();
  // A value that is no calendar date (month 0, hour 31, ...) is carried
  // over into the neighbouring fields.
  const auto t =
      kernel::LocalTimeToFileTime({1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F, time >> 11,
                                   (time >> 5) & 0x3F, 2 * (time & 0x1F), 0});
  return t ? *t : std::chrono::system_clock::now();
}

std::string ExtractFilePath(const std::string& path) {
  const std::size_t last = path.find_last_of("\\/");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string ExtractFileName(const std::string& path) {
  const std::size_t last = path.find_last_of("\\/");
  return last == std::string::npos ? path : path.substr(last + 1);
}

std::string ExpandFileName(const std::string& path) {
  return kernel::GetFullPathName(path);
}

namespace {

cabinet::INT_PTR ListEntry(cabinet::FDINOTIFICATIONTYPE type, cabinet::FDINOTIFICATION* n) {
  if (type == cabinet::fdintCOPY_FILE)
    (*static_cast<const EntryVisitor*>(n->pv))(n->psz1 ? n->psz1 : "", n->cb);
  return 0;
}

// The target folder may not exist yet: it will be made on the volume of the
// nearest folder above it that does.
std::optional<std::uint64_t> FreeSpaceFor(const std::string& folder) {
  std::string dir = kernel::NativePath(folder);
  for (;;) {
    if (const auto free = kernel::GetDiskFreeSpace(dir)) return free;
    while (!dir.empty() && IsSeparator(dir.back())) dir.pop_back();
    if (dir.empty()) return std::nullopt;
    dir = ExtractFilePath(dir);
  }
}

}  // namespace

bool CanRead(const std::string& path) {
  return static_cast<bool>(kernel::FileHandle(kernel::_lopen(path, kernel::OF_READ)));
}

bool IsCabinetFile(cabinet::HFDI fdi, const std::string& path) {
  const kernel::FileHandle file(kernel::_lopen(path, kernel::OF_READ));
  cabinet::FDICABINETINFO info;
  return file && cabinet::FDIIsCabinet(fdi, file.Get(), &info);
}

bool ListCabinet(const std::string& cabinetPath, const EntryVisitor& visit) {
  cabinet::ERF erf;
  const FdiContextPtr fdi(cabinet::FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite,
                                             FdiClose, FdiSeek, cabinet::cpu80386, &erf));
  if (!fdi) return false;
  std::string name = ExtractFileName(cabinetPath);
  std::string folder = ExtractFilePath(ExpandFileName(cabinetPath));
  return cabinet::FDICopy(fdi.get(), name.data(), folder.data(), 0, ListEntry, nullptr,
                          const_cast<EntryVisitor*>(&visit));
}

// The declared sizes come from the service itself, through a copy that
// skips every entry, rather than from a reader of our own: they are then
// exactly the entries the extraction will be asked to write, however the
// headers were crafted, and the service (on Windows the system's, which
// has no call that lists a cabinet) decompresses nothing for a skipped
// entry. Only the folders' sizes, which the service does not tell, are read
// from the headers.
bool CabinetFitsTarget(const std::string& cabinetPath, const std::string& targetFolder) {
  std::uint64_t declared = 0;
  // A size beyond 2 GB arrives negative; it counts as the size it is.
  if (!ListCabinet(cabinetPath, [&](const std::string&, std::int32_t size) {
        declared += static_cast<std::uint32_t>(size);
      }))
    return false;
  const auto cabinetSize = kernel::GetFileSize(cabinetPath);
  const auto folders = FoldersUncompressedSize(cabinetPath);
  if (!cabinetSize || !folders) return false;
  if (declared > kMaxDeclaredMultiple * (*cabinetSize + *folders)) {
    kernel::SetLastError(kernel::ERROR_INVALID_DATA);
    return false;
  }
  const auto free = FreeSpaceFor(targetFolder);
  if (free && declared > *free) {
    kernel::SetLastError(kernel::ERROR_DISK_FULL);
    return false;
  }
  return true;
}

// The target folder, and every folder above it, is the caller's choice and
// is taken as it is, links included. Below it every folder comes from the
// cabinet.
EntryFiles::EntryFiles(const std::string& targetFolder)
    : trusted_(ExtractFilePath(targetFolder)), rest_(ExtractFileName(targetFolder)) {}

std::optional<std::string> EntryFiles::Prepare(const std::string& entryName) {
  if (!EntryNameIsSafe(entryName)) return std::nullopt;
  const std::string relative = rest_ + entryName;
  const std::size_t last = relative.find_last_of("\\/");
  const std::string folders = last == std::string::npos ? std::string() : relative.substr(0, last);
  // A cabinet's entries fill few folders: the way to each is checked once.
  if (!checked_.contains(folders)) {
    ForceDirectories(trusted_);
    for (std::size_t at = relative.find_first_of("\\/"); at != std::string::npos;
         at = relative.find_first_of("\\/", at + 1)) {
      const std::string folder = trusted_ + relative.substr(0, at);
      const std::uint32_t attributes = kernel::GetFileAttributes(folder);
      if (attributes == kernel::INVALID_FILE_ATTRIBUTES) {
        // A failure shows when the file cannot be created.
        kernel::CreateDirectory(folder);
      } else if (attributes & kernel::FILE_ATTRIBUTE_REPARSE_POINT) {
        // Writing into a linked folder writes wherever it leads, outside the
        // target; replacing the link by a real folder could move what a user
        // keeps there out of sight. The entry is refused instead.
        kernel::SetLastError(kernel::ERROR_ACCESS_DENIED);
        return std::nullopt;
      }
    }
    checked_.insert(folders);
  }
  return kernel::NativePath(trusted_ + relative);
}

cabinet::INT_PTR EntryFiles::Create(const std::string& path, std::int32_t declaredSize) {
  // A link to a file under the entry's name is replaced by the entry
  // itself, which is what installing it means; what it leads to is never
  // written, so its read-only attribute, which is that of where it leads,
  // does not count. A real read-only file is refused, as Windows will not
  // replace it. A folder, a linked one too, is never replaced by a file: the
  // way to what it holds would be gone.
  const std::uint32_t attributes = kernel::GetFileAttributes(path);
  const std::uint32_t refused =
      (attributes & kernel::FILE_ATTRIBUTE_REPARSE_POINT)
          ? kernel::FILE_ATTRIBUTE_DIRECTORY
          : kernel::FILE_ATTRIBUTE_DIRECTORY | kernel::FILE_ATTRIBUTE_READONLY;
  if (attributes != kernel::INVALID_FILE_ATTRIBUTES && (attributes & refused)) {
    kernel::SetLastError(kernel::ERROR_ACCESS_DENIED);
    return -1;
  }
  auto file = kernel::TemporaryFile::Beside(path);
  if (!file) return -1;
  const cabinet::INT_PTR handle = file->Handle();
  open_.push_back({std::move(*file), path, declaredSize});
  return handle;
}

bool EntryFiles::Commit(cabinet::INT_PTR hf, std::uint16_t date, std::uint16_t time) {
  const auto found = Find(hf);
  if (found == open_.end()) return FdiClose(hf) == 0;
  Entry entry = std::move(*found);
  open_.erase(found);
  const kernel::HFILE file = entry.file.Handle();
  const kernel::FileTime written = DosDateTimeToFileTime(date, time);
  kernel::SetFileTime(file, nullptr, nullptr, &written);
  // A decompressor that stops short of an entry without failing must not
  // leave a short file in place of a whole one.
  if (kernel::_llseek(file, 0, kernel::FILE_END) != entry.size) {
    kernel::SetLastError(kernel::ERROR_INVALID_DATA);
    return false;
  }
  return entry.file.MoveTo(entry.path);
}

int EntryFiles::Close(cabinet::INT_PTR hf) {
  const auto found = Find(hf);
  if (found == open_.end()) return FdiClose(hf);
  open_.erase(found);
  return 0;
}

std::vector<EntryFiles::Entry>::iterator EntryFiles::Find(cabinet::INT_PTR hf) {
  return std::find_if(open_.begin(), open_.end(),
                      [hf](const Entry& entry) { return entry.file.Handle() == hf; });
}

void* FdiAlloc(unsigned long cb) {
  return std::malloc(cb ? cb : 1);
}

void FdiFree(void* pv) {
  std::free(pv);
}

cabinet::INT_PTR FdiOpen(char* pszFile, int oflag, int pmode) {
  return kernel::_lopen(pszFile, oflag);
}

unsigned FdiRead(cabinet::INT_PTR hf, void* pv, unsigned cb) {
  return kernel::_lread(static_cast<kernel::HFILE>(hf), pv, cb);
}

unsigned FdiWrite(cabinet::INT_PTR hf, void* pv, unsigned cb) {
  return kernel::_lwrite(static_cast<kernel::HFILE>(hf), pv, cb);
}

int FdiClose(cabinet::INT_PTR hf) {
  return kernel::_lclose(static_cast<kernel::HFILE>(hf));
}

long FdiSeek(cabinet::INT_PTR hf, long dist, int seektype) {
  return kernel::_llseek(static_cast<kernel::HFILE>(hf), dist, seektype);
}

}  // namespace archive

namespace {

using cabinet::FDINOTIFICATION;
using cabinet::FDINOTIFICATIONTYPE;
using cabinet::INT_PTR;

// The callbacks get no context from ExtractCabinet, so the running
// extraction lives here.
std::atomic<bool> extracting{false};
archive::EntryFiles* output = nullptr;

INT_PTR Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  switch (type) {
    case cabinet::fdintCOPY_FILE: {
      const auto path = output->Prepare(n->psz1 ? n->psz1 : "");
      return path ? output->Create(*path, n->cb) : -1;
    }
    case cabinet::fdintCLOSE_FILE_INFO:
      return output->Commit(n->hf, n->date, n->time) ? 1 : 0;
    default:
      return 0;
  }
}

int CloseFile(INT_PTR hf) {
  return output->Close(hf);
}

struct Running {
  ~Running() {
    output = nullptr;
    extracting = false;
  }
};

}  // namespace

int ExtractCabinet(const std::string& cabinetPath, const std::string& target) {
  if (extracting.exchange(true)) return -1;
  archive::EntryFiles files(target);
  output = &files;
  Running running;

  if (!archive::CanRead(cabinetPath)) return -1;

  cabinet::ERF erf;
  archive::FdiContextPtr fdi(
      cabinet::FDICreate(archive::FdiAlloc, archive::FdiFree, archive::FdiOpen, archive::FdiRead,
                         archive::FdiWrite, CloseFile, archive::FdiSeek, cabinet::cpu80386, &erf));
  if (!fdi) return -1;

  int result = -1;
  if (archive::IsCabinetFile(fdi.get(), cabinetPath) &&
      archive::CabinetFitsTarget(cabinetPath, target)) {
    std::string name = archive::ExtractFileName(cabinetPath);
    std::string folder = archive::ExtractFilePath(archive::ExpandFileName(cabinetPath));
    if (cabinet::FDICopy(fdi.get(), name.data(), folder.data(), 0, Notify, nullptr, nullptr))
      result = 0;
  }
  // Data that does not decompress sets no error of the system; say it, so
  // a caller can tell it from a file that could not be written.
  const std::uint32_t error = kernel::GetLastError();
  const bool damaged = erf.fError && (erf.erfOper == cabinet::FDIERROR_CORRUPT_CABINET ||
                                      erf.erfOper == cabinet::FDIERROR_MDI_FAIL ||
                                      erf.erfOper == cabinet::FDIERROR_BAD_COMPR_TYPE);
  if (!cabinet::FDIDestroy(fdi.release())) result = -1;
  kernel::SetLastError(result != 0 && error == 0 && damaged ? kernel::ERROR_INVALID_DATA : error);
  return result;
}

namespace archive {

std::string WhyNotExtracted(const std::string& cabinetPath, const std::string& targetFolder,
                            std::uint32_t error) {
  const std::string folder = targetFolder.empty() ? "the current folder" : targetFolder;
  if (!CanRead(cabinetPath))
    return kernel::FileExists(cabinetPath) ? "cannot be read: " + kernel::FormatMessage(error)
                                           : "no such file";
  std::string refused;
  if (!ListCabinet(cabinetPath, [&](const std::string& name, std::int32_t) {
        if (refused.empty() && !EntryNameIsSafe(name)) refused = name;
      }))
    return "not a cabinet, or its headers are damaged";
  if (!refused.empty())
    return "refused the entry '" + refused + "': it would land outside " + folder;
  return "cannot extract it into " + folder + ": " + kernel::FormatMessage(error);
}

}  // namespace archive
