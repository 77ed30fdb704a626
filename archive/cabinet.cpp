#include "archive/cabinet.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>

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
  if (dir.size() < 3 || FolderExists(dir)) return true;
  const std::string parent = ExtractFilePath(dir);
  if (parent == dir) return true;
  return ForceDirectories(parent) && kernel::CreateDirectory(dir);
}

kernel::FileTime DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time) {
  if (date == 0 && time == 0) return std::chrono::system_clock::now();
  // A value that is no calendar date (month 0, hour 31, ...) is carried
  // over into the neighbouring fields.
  const auto t = kernel::LocalTimeToFileTime({1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F,
                                              time >> 11, (time >> 5) & 0x3F, 2 * (time & 0x1F),
                                              0});
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
  const std::string native = kernel::NativePath(path);
  if (!native.empty() && native[0] == '/') return native;
  std::string base = kernel::NativePath(kernel::GetCurrentDirectory());
  if (base.empty() || base.back() != '/') base += '/';
  return base + native;
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

// The notification handler gets no context from ExtractCabinet, so the
// running extraction lives here.
std::atomic<bool> extracting{false};
std::string targetFolder;
bool noTargetFolder = false;

INT_PTR Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  switch (type) {
    case cabinet::fdintCOPY_FILE: {
      const std::string name = n->psz1 ? n->psz1 : "";
      if (!archive::EntryNameIsSafe(name)) return -1;
      const std::string folder = noTargetFolder
                                     ? archive::ExtractFilePath(archive::ExpandFileName(name))
                                     : targetFolder + archive::ExtractFilePath(name);
      archive::ForceDirectories(folder);
      const kernel::HFILE file =
          kernel::_lcreat(noTargetFolder ? name : targetFolder + name, kernel::LCREAT_NORMAL);
      return file == kernel::HFILE_ERROR ? -1 : file;
    }
    case cabinet::fdintCLOSE_FILE_INFO: {
      const kernel::FileTime written = archive::DosDateTimeToFileTime(n->date, n->time);
      kernel::SetFileTime(static_cast<kernel::HFILE>(n->hf), nullptr, nullptr, &written);
      archive::FdiClose(n->hf);
      return 1;
    }
    default:
      return 0;
  }
}

struct Running {
  ~Running() { extracting = false; }
};

}  // namespace

int ExtractCabinet(const std::string& cabinetPath, const std::string& target) {
  if (extracting.exchange(true)) return -1;
  Running running;

  kernel::HFILE probe = kernel::_lopen(cabinetPath, kernel::OF_READ);
  if (probe == kernel::HFILE_ERROR) return -1;
  kernel::_lclose(probe);

  targetFolder = target;
  cabinet::ERF erf;
  cabinet::HFDI fdi = cabinet::FDICreate(archive::FdiAlloc, archive::FdiFree, archive::FdiOpen,
                                         archive::FdiRead, archive::FdiWrite, archive::FdiClose,
                                         archive::FdiSeek, cabinet::cpu80386, &erf);
  if (!fdi) return -1;
  struct Destroy {
    cabinet::HFDI fdi;
    ~Destroy() {
      if (fdi) cabinet::FDIDestroy(fdi);
    }
  } destroy{fdi};

  int result = -1;
  bool isCabinet = false;
  probe = kernel::_lopen(cabinetPath, kernel::OF_READ);
  if (probe != kernel::HFILE_ERROR) {
    cabinet::FDICABINETINFO info;
    isCabinet = cabinet::FDIIsCabinet(fdi, probe, &info);
    kernel::_lclose(probe);
  }
  if (isCabinet) {
    std::string name = archive::ExtractFileName(cabinetPath);
    std::string folder = archive::ExtractFilePath(archive::ExpandFileName(cabinetPath));
    noTargetFolder = target.empty();
    if (cabinet::FDICopy(fdi, name.data(), folder.data(), 0, Notify, nullptr, nullptr)) result = 0;
  }
  destroy.fdi = nullptr;
  if (!cabinet::FDIDestroy(fdi)) result = -1;
  return result;
}
