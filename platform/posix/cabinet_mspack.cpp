// The cabinet service on libmspack's cabinet decompressor. The library is
// given an mspack_system of ours that does nothing itself: its memory comes
// from the program's alloc callback and every file operation goes to the
// program's callbacks. The library never opens a file by name: two stand-in
// "file names" lead it to handles the program holds, so it reads the cabinet
// handle (the one given to FDIIsCabinet, or the one FDICopy opened through
// the open callback) and writes each entry into the handle that the
// copy-file notification returned, block by block.
//
// libmspack is C: an exception thrown by a program callback is caught at the
// boundary, the library is told the operation failed, and the exception is
// thrown again once the library has returned and released what it held.
#include <mspack.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/cabinet.h"
#include "platform/cabinet_callbacks.h"

namespace cabinet {

namespace {

// The "file names" the library is given: the cabinet handle of the running
// call, and the handle receiving the entry being extracted.
constexpr char kBorrowedName[] = "fdi:cabinet-handle";
constexpr char kOutputName[] = "fdi:entry-handle";

// The library's view of a handle the program holds.
struct File {
  FdiContext* context;
  INT_PTR hf;
};

// Every block handed to the library starts with this header, because the
// library frees without telling which system the block came from.
struct alignas(std::max_align_t) BlockHeader {
  FdiContext* context;
};

}  // namespace

struct FdiContext : callbacks::Guarded, callbacks::ProgramCallbacks {
  mspack_system system{};
  ERF* erf = nullptr;
  mscab_decompressor* cabd = nullptr;
  INT_PTR borrowed = -1;  // the cabinet, opened by the program
  INT_PTR output = -1;    // the handle receiving the entry being extracted

  void SetError(FDIERROR error) {
    if (!erf) return;
    erf->erfOper = error;
    erf->erfType = 0;
    erf->fError = error != FDIERROR_NONE;
  }
};

namespace {

// The library hands its decompressors copies of our mspack_system, so the
// pointer it passes back cannot lead to the context.
using Activate = callbacks::Activate<FdiContext>;

FdiContext* ContextOf(mspack_system*) {
  return Activate::Active();
}
File* FileOf(mspack_file* file) {
  return reinterpret_cast<File*>(file);
}

void* SysAlloc(mspack_system* self, size_t bytes) {
  FdiContext* context = ContextOf(self);
  if (!context) return nullptr;
  if (bytes > ULONG_MAX - sizeof(BlockHeader)) return nullptr;
  void* block = context->Guard<void*>(nullptr, [&] {
    return context->alloc(static_cast<unsigned long>(bytes + sizeof(BlockHeader)));
  });
  if (!block) return nullptr;
  auto* header = static_cast<BlockHeader*>(block);
  header->context = context;
  return header + 1;
}

void SysFree(void* ptr) {
  if (!ptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(ptr) - 1;
  FdiContext* context = header->context;
  context->Always<int>(0, [&] {
    context->free(header);
    return 0;
  });
}

// The library opens only the two stand-in names: the program's callbacks
// open and close the real files.
mspack_file* SysOpen(mspack_system* self, const char* filename, int mode) {
  FdiContext* context = ContextOf(self);
  if (!context) return nullptr;
  INT_PTR hf = -1;
  if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(filename, kBorrowedName) == 0)
    hf = context->borrowed;
  else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kOutputName) == 0)
    hf = context->output;
  if (hf == -1) return nullptr;
  auto* file = static_cast<File*>(SysAlloc(self, sizeof(File)));
  if (!file) return nullptr;
  *file = File{context, hf};
  return reinterpret_cast<mspack_file*>(file);
}

// Closes the library's view only; the handle stays the program's.
void SysClose(mspack_file* mf) {
  SysFree(FileOf(mf));
}

int SysRead(mspack_file* mf, void* buffer, int bytes) {
  File* file = FileOf(mf);
  if (bytes < 0) return -1;
  FdiContext* context = file->context;
  const unsigned n = context->Guard<unsigned>(
      UINT_MAX, [&] { return context->read(file->hf, buffer, static_cast<unsigned>(bytes)); });
  if (n == UINT_MAX || n > static_cast<unsigned>(bytes)) return -1;
  return static_cast<int>(n);
}

int SysWrite(mspack_file* mf, void* buffer, int bytes) {
  File* file = FileOf(mf);
  if (bytes < 0) return -1;
  FdiContext* context = file->context;
  const unsigned n = context->Guard<unsigned>(
      UINT_MAX, [&] { return context->write(file->hf, buffer, static_cast<unsigned>(bytes)); });
  if (n != static_cast<unsigned>(bytes)) return -1;
  return bytes;
}

int SysSeek(mspack_file* mf, off_t offset, int mode) {
  File* file = FileOf(mf);
  if (offset < LONG_MIN || offset > LONG_MAX) return -1;
  FdiContext* context = file->context;
  const long position = context->Guard<long>(
      -1, [&] { return context->seek(file->hf, static_cast<long>(offset), mode); });
  return position < 0 ? -1 : 0;
}

off_t SysTell(mspack_file* mf) {
  File* file = FileOf(mf);
  FdiContext* context = file->context;
  const long position =
      context->Guard<long>(-1, [&] { return context->seek(file->hf, 0, SEEK_FROM_CURRENT); });
  return position < 0 ? -1 : static_cast<off_t>(position);
}

// The library's warnings about odd cabinets; the program only learns the
// outcome.
void SysMessage(mspack_file*, const char*, ...) {}

void SysCopy(void* src, void* dest, size_t bytes) {
  std::memmove(dest, src, bytes);
}

FDIERROR ErrorFromMspack(int error) {
  switch (error) {
    case MSPACK_ERR_OK:
      return FDIERROR_NONE;
    case MSPACK_ERR_OPEN:
      return FDIERROR_CABINET_NOT_FOUND;
    case MSPACK_ERR_SIGNATURE:
      return FDIERROR_NOT_A_CABINET;
    case MSPACK_ERR_NOMEMORY:
      return FDIERROR_ALLOC_FAIL;
    case MSPACK_ERR_WRITE:
      return FDIERROR_TARGET_FILE;
    case MSPACK_ERR_DECRUNCH:
      return FDIERROR_MDI_FAIL;
    default:  // read, seek, data format, checksum
      return FDIERROR_CORRUPT_CABINET;
  }
}

std::uint16_t DosDate(const mscabd_file& f) {
  return static_cast<std::uint16_t>(((f.date_y - 1980) & 0x7F) << 9 | (f.date_m & 0xF) << 5 |
                                    (f.date_d & 0x1F));
}

std::uint16_t DosTime(const mscabd_file& f) {
  return static_cast<std::uint16_t>((f.time_h & 0x1F) << 11 | (f.time_m & 0x3F) << 5 |
                                    ((f.time_s >> 1) & 0x1F));
}

// One copy holds the cabinet open through the program's callbacks from its
// start to its end, as the interface promises: the library reads it through
// the borrowed handle, and it is closed on every way out of FDICopy, after
// the library has let go of it.
class CopySession {
 public:
  explicit CopySession(FdiContext* context) : context_(context) {}
  ~CopySession() { End(); }
  CopySession(const CopySession&) = delete;
  CopySession& operator=(const CopySession&) = delete;

  void Open(INT_PTR hf) {
    hf_ = hf;
    context_->borrowed = hf;
  }
  void Hold(mscabd_cabinet* cab) { cab_ = cab; }
  void End() {
    if (cab_) context_->cabd->close(context_->cabd, cab_);
    cab_ = nullptr;
    if (hf_ != -1) context_->Always<int>(-1, [&] { return context_->close(hf_); });
    hf_ = -1;
    context_->borrowed = -1;
  }

 private:
  FdiContext* context_;
  INT_PTR hf_ = -1;
  mscabd_cabinet* cab_ = nullptr;
};

}  // namespace

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, ERF* perf) {
  const callbacks::ProgramCallbacks program{pfnalloc, pfnfree,  pfnopen, pfnread,
                                            pfnwrite, pfnclose, pfnseek};
  if (!program.Complete()) {
    if (perf) *perf = ERF{FDIERROR_ALLOC_FAIL, 0, true};
    return nullptr;
  }
  void* memory = pfnalloc(sizeof(FdiContext));
  if (!memory) {
    if (perf) *perf = ERF{FDIERROR_ALLOC_FAIL, 0, true};
    return nullptr;
  }
  auto* context = new (memory) FdiContext;
  static_cast<callbacks::ProgramCallbacks&>(*context) = program;
  context->erf = perf;
  Activate activate(context);
  mspack_system& sys = context->system;
  sys.open = SysOpen;
  sys.close = SysClose;
  sys.read = SysRead;
  sys.write = SysWrite;
  sys.seek = SysSeek;
  sys.tell = SysTell;
  sys.message = SysMessage;
  sys.alloc = SysAlloc;
  sys.free = SysFree;
  sys.copy = SysCopy;
  sys.null_ptr = nullptr;
  context->cabd = mspack_create_cab_decompressor(&sys);
  if (!context->cabd) {
    context->SetError(FDIERROR_ALLOC_FAIL);
    context->~FdiContext();
    pfnfree(memory);
    return nullptr;
  }
  context->SetError(FDIERROR_NONE);
  return context;
}

bool FDIIsCabinet(HFDI hfdi, INT_PTR hf, FDICABINETINFO* pfdici) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  Activate activate(context);
  context->SetError(FDIERROR_NONE);
  context->Forget();
  // The headers are read from the start, wherever the handle stands.
  if (context->Guard<long>(-1, [&] { return context->seek(hf, 0, SEEK_FROM_START); }) < 0) {
    context->RethrowPending();
    context->SetError(FDIERROR_NOT_A_CABINET);
    return false;
  }
  context->borrowed = hf;
  mscabd_cabinet* cab = context->cabd->open(context->cabd, kBorrowedName);
  context->borrowed = -1;
  context->RethrowPending();
  if (!cab) {
    const FDIERROR error = ErrorFromMspack(context->cabd->last_error(context->cabd));
    context->SetError(error == FDIERROR_CABINET_NOT_FOUND ? FDIERROR_NOT_A_CABINET : error);
    return false;
  }
  if (pfdici) {
    FDICABINETINFO info;
    info.cbCabinet = static_cast<std::int32_t>(cab->length);
    for (const mscabd_folder* f = cab->folders; f; f = f->next) ++info.cFolders;
    for (const mscabd_file* f = cab->files; f; f = f->next) ++info.cFiles;
    info.setID = cab->set_id;
    info.iCabinet = cab->set_index;
    info.fReserve = (cab->flags & MSCAB_HDR_RESV) != 0;
    info.hasprev = (cab->flags & MSCAB_HDR_PREVCAB) != 0;
    info.hasnext = (cab->flags & MSCAB_HDR_NEXTCAB) != 0;
    *pfdici = info;
  }
  context->cabd->close(context->cabd, cab);
  return true;
}

bool FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  Activate activate(context);
  context->SetError(FDIERROR_NONE);
  context->Forget();
  if (!pfnfdin) {
    context->SetError(FDIERROR_USER_ABORT);
    return false;
  }
  std::string cabPath = pszCabPath ? pszCabPath : "";
  std::string path = cabPath + (pszCabinet ? pszCabinet : "");
  CopySession session(context);
  // Ends the copy: lets go of the cabinet, then passes on an exception that
  // a callback threw while the library was running.
  auto finish = [&](bool result, FDIERROR error) {
    session.End();
    context->RethrowPending();
    context->SetError(error);
    return result;
  };

  const INT_PTR cabinetHandle = context->Guard<INT_PTR>(
      -1, [&] { return context->open(path.data(), kOpenReadBinary, kPermissionReadWrite); });
  if (cabinetHandle == -1) return finish(false, FDIERROR_CABINET_NOT_FOUND);
  session.Open(cabinetHandle);
  if (context->Guard<long>(-1, [&] { return context->seek(cabinetHandle, 0, SEEK_FROM_START); }) <
      0)
    return finish(false, FDIERROR_CORRUPT_CABINET);
  mscabd_cabinet* cab = context->cabd->open(context->cabd, kBorrowedName);
  if (!cab) {
    const FDIERROR error = ErrorFromMspack(context->cabd->last_error(context->cabd));
    return finish(false, error == FDIERROR_CABINET_NOT_FOUND ? FDIERROR_CORRUPT_CABINET : error);
  }
  session.Hold(cab);
  if (context->Threw()) return finish(false, FDIERROR_USER_ABORT);

  std::string nextName = cab->nextname ? cab->nextname : "";
  std::string nextInfo = cab->nextinfo ? cab->nextinfo : "";
  FDINOTIFICATION info;
  info.psz1 = nextName.data();
  info.psz2 = nextInfo.data();
  info.psz3 = cabPath.data();
  info.pv = pvUser;
  info.setID = cab->set_id;
  info.iCabinet = cab->set_index;
  if (pfnfdin(fdintCABINET_INFO, &info) == -1) return finish(false, FDIERROR_USER_ABORT);

  std::unordered_map<const mscabd_folder*, std::uint16_t> folderIndex;
  std::uint16_t index = 0;
  for (const mscabd_folder* f = cab->folders; f; f = f->next) folderIndex.emplace(f, index++);

  for (mscabd_file* file = cab->files; file; file = file->next) {
    // The program may change the name it is shown; the library's stays.
    std::string name = file->filename ? file->filename : "";
    FDINOTIFICATION n;
    n.cb = static_cast<std::int32_t>(file->length);
    n.psz1 = name.data();
    n.pv = pvUser;
    n.date = DosDate(*file);
    n.time = DosTime(*file);
    n.attribs = static_cast<std::uint16_t>(file->attribs);
    n.setID = cab->set_id;
    n.iCabinet = cab->set_index;
    if (auto it = folderIndex.find(file->folder); it != folderIndex.end()) n.iFolder = it->second;

    const INT_PTR hf = pfnfdin(fdintCOPY_FILE, &n);
    if (hf == -1) return finish(false, FDIERROR_USER_ABORT);
    if (hf == 0) continue;

    context->output = hf;
    const int error = context->cabd->extract(context->cabd, file, kOutputName);
    context->output = -1;
    if (context->Threw() || error != MSPACK_ERR_OK) {
      // The entry never reaches its close-file notification: its handle is
      // ours to close.
      context->Always<int>(-1, [&] { return context->close(hf); });
      return finish(false, ErrorFromMspack(error));
    }

    name = file->filename ? file->filename : "";
    n.psz1 = name.data();
    n.hf = hf;
    n.cb = (file->attribs & MSCAB_ATTRIB_EXEC) ? 1 : 0;
    if (!pfnfdin(fdintCLOSE_FILE_INFO, &n)) return finish(false, FDIERROR_TARGET_FILE);
  }
  return finish(true, FDIERROR_NONE);
}

bool FDIDestroy(HFDI hfdi) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  Activate activate(context);
  mspack_destroy_cab_decompressor(context->cabd);
  PFNFREE release = context->free;
  context->~FdiContext();
  release(context);
  return true;
}

}  // namespace cabinet
