// The cabinet service on cabinet.dll's FDI. The header mirrors FDI, but its
// records use bool where the SDK's use BOOL, and a program callback may throw,
// which must never unwind through the library's C frames: the library would
// keep its memory and the cabinet handle. So the library is given trampolines
// that find the running context, call the program's callback inside a guard,
// keep an exception for later and report a failure to the library instead;
// once the library has returned and let go of everything, the exception is
// thrown again. The records are translated field by field on the way.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <climits>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "platform/cabinet.h"
#include "platform/cabinet_callbacks.h"

namespace cabinet {

struct FdiContext : callbacks::Guarded, callbacks::ProgramCallbacks {
  ::HFDI fdi = nullptr;
  ::ERF erf{};
  ERF* perf = nullptr;
  // The running FDICopy: the program's notification callback and pvUser,
  // and the entry handle that has not yet reached its close-file
  // notification (closed by us if the copy fails before it does), with what
  // it was promised and what reached it.
  PFNFDINOTIFY notify = nullptr;
  void* user = nullptr;
  INT_PTR entry = 0;
  std::uint32_t entrySize = 0;
  std::uint32_t entryWritten = 0;
  bool entryWriteFailed = false;
  // An error found by us rather than the library; it wins over the
  // library's record.
  FDIERROR failure = FDIERROR_NONE;
  // Folders the cabinet's header declares (0: unknown).
  std::uint16_t folders = 0;

  void Report() {
    if (!perf) return;
    perf->erfOper = erf.erfOper;
    perf->erfType = erf.erfType;
    perf->fError = erf.fError != FALSE;
  }
};

namespace {

using Activate = callbacks::Activate<FdiContext>;

void* DIAMONDAPI Alloc(ULONG cb) {
  FdiContext* c = Activate::Active();
  return c->Guard<void*>(nullptr, [&] { return c->alloc(cb); });
}
void DIAMONDAPI Free(void* pv) {
  FdiContext* c = Activate::Active();
  c->Always<int>(0, [&] {
    c->free(pv);
    return 0;
  });
}
INT_PTR DIAMONDAPI Open(char* pszFile, int oflag, int pmode) {
  FdiContext* c = Activate::Active();
  return c->Guard<INT_PTR>(-1, [&] { return c->open(pszFile, oflag, pmode); });
}
UINT DIAMONDAPI Read(INT_PTR hf, void* pv, UINT cb) {
  FdiContext* c = Activate::Active();
  return c->Guard<UINT>(UINT_MAX, [&] { return c->read(hf, pv, cb); });
}
UINT DIAMONDAPI Write(INT_PTR hf, void* pv, UINT cb) {
  FdiContext* c = Activate::Active();
  const bool isEntry = c->entry != 0 && hf == c->entry;
  if (isEntry && c->entryWriteFailed) return UINT_MAX;
  const UINT written = c->Guard<UINT>(UINT_MAX, [&] { return c->write(hf, pv, cb); });
  if (isEntry) {
    if (written != cb)
      c->entryWriteFailed = true;
    else
      c->entryWritten += cb;
  }
  return written;
}
int DIAMONDAPI Close(INT_PTR hf) {
  FdiContext* c = Activate::Active();
  if (c->entry != 0 && hf == c->entry) c->entry = 0;
  return c->Always<int>(-1, [&] { return c->close(hf); });
}
LONG DIAMONDAPI Seek(INT_PTR hf, LONG dist, int seektype) {
  FdiContext* c = Activate::Active();
  return c->Guard<LONG>(-1, [&] { return c->seek(hf, dist, seektype); });
}

// Folder numbers from here on mean an entry continued from or into another
// cabinet of a set.
constexpr unsigned kFirstContinuedFolder = 0xFFFD;

// The folder count of the cabinet's header, read through the program's own
// file callbacks; 0 when it cannot be read.
std::uint16_t DeclaredFolders(FdiContext& c, std::string path) {
  constexpr int kReadOnlyBinary = 0x8000;  // _O_RDONLY | _O_BINARY
  const INT_PTR file =
      c.Guard<INT_PTR>(-1, [&] { return c.open(path.data(), kReadOnlyBinary, 0); });
  if (file == -1) return 0;
  unsigned char header[28] = {};
  const unsigned got = c.Guard<unsigned>(0, [&] { return c.read(file, header, sizeof header); });
  c.Always<int>(-1, [&] { return c.close(file); });
  if (got != sizeof header) return 0;
  return static_cast<std::uint16_t>(header[26] | header[27] << 8);
}

INT_PTR DIAMONDAPI Notify(::FDINOTIFICATIONTYPE type, ::PFDINOTIFICATION sdkN) {
  FdiContext* c = Activate::Active();
  const auto ourType = static_cast<FDINOTIFICATIONTYPE>(type);
  // Nothing more reaches the program once a callback threw or we found the
  // copy failed; a close-file notification stops the library only with 0,
  // and some implementations go on even then, so every later one is
  // refused too.
  const INT_PTR abort = ourType == fdintCLOSE_FILE_INFO ? FALSE : -1;
  if (c->Threw() || c->failure != FDIERROR_NONE) return abort;
  if (ourType == fdintNEXT_CABINET) {
    // A set of cabinets is not followed into its next file: the entry that
    // continues there fails the copy.
    c->failure = FDIERROR_CORRUPT_CABINET;
    return abort;
  }
  if (ourType == fdintCLOSE_FILE_INFO && c->entry != 0 && sdkN->hf == c->entry) {
    // Some FDI implementations go on after a refused write or a cabinet
    // that ends early and announce the entry as complete; the program must
    // never take a short or partly written entry for a whole one.
    if (c->entryWriteFailed || c->entryWritten != c->entrySize) {
      c->failure = c->entryWriteFailed ? FDIERROR_TARGET_FILE : FDIERROR_CORRUPT_CABINET;
      return abort;
    }
    c->entry = 0;  // the program closes it now
  }
  if (ourType == fdintCOPY_FILE && c->folders != 0 && sdkN->iFolder < kFirstContinuedFolder &&
      sdkN->iFolder >= c->folders) {
    // Some FDI implementations hand out an entry of a folder the cabinet
    // does not have, with whatever data they find.
    c->failure = FDIERROR_CORRUPT_CABINET;
    return abort;
  }
  FDINOTIFICATION n;
  n.cb = sdkN->cb;
  n.psz1 = sdkN->psz1;
  n.psz2 = sdkN->psz2;
  n.psz3 = sdkN->psz3;
  n.pv = c->user;
  n.hf = sdkN->hf;
  n.date = sdkN->date;
  n.time = sdkN->time;
  n.attribs = sdkN->attribs;
  n.setID = sdkN->setID;
  n.iCabinet = sdkN->iCabinet;
  n.iFolder = sdkN->iFolder;
  n.fdie = static_cast<FDIERROR>(sdkN->fdie);
  const INT_PTR answer = c->Guard<INT_PTR>(-1, [&] { return c->notify(ourType, &n); });
  if (c->Threw()) return abort;
  if (ourType == fdintCOPY_FILE && answer != 0 && answer != -1) {
    c->entry = answer;
    c->entrySize = static_cast<std::uint32_t>(sdkN->cb);
    c->entryWritten = 0;
    c->entryWriteFailed = false;
  }
  return answer;
}

}  // namespace

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, ERF* perf) {
  auto fail = [&] {
    if (perf) *perf = ERF{FDIERROR_ALLOC_FAIL, 0, true};
    return nullptr;
  };
  const callbacks::ProgramCallbacks program{pfnalloc, pfnfree,  pfnopen, pfnread,
                                            pfnwrite, pfnclose, pfnseek};
  if (!program.Complete()) return fail();
  void* memory = pfnalloc(sizeof(FdiContext));
  if (!memory) return fail();
  auto* context = new (memory) FdiContext;
  context->perf = perf;
  static_cast<callbacks::ProgramCallbacks&>(*context) = program;
  {
    Activate activate(context);
    context->fdi = ::FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuType, &context->erf);
  }
  if (!context->fdi) {
    context->erf.erfOper = ::FDIERROR_ALLOC_FAIL;
    context->erf.fError = TRUE;
    context->Report();
    // The context goes on every way out, also when the alloc callback threw.
    struct Release {
      FdiContext* context;
      PFNFREE free;
      ~Release() {
        context->~FdiContext();
        free(context);
      }
    } release{context, pfnfree};
    context->RethrowPending();
    return nullptr;
  }
  context->Report();
  return context;
}

bool FDIIsCabinet(HFDI hfdi, INT_PTR hf, FDICABINETINFO* pfdici) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  Activate activate(context);
  context->Forget();
  context->erf = {};
  // The library reads from wherever the handle stands; the header promises
  // the start.
  ::FDICABINETINFO info{};
  const bool is = context->Guard<long>(-1, [&] {
    return context->seek(hf, 0, SEEK_FROM_START);
  }) == 0 && ::FDIIsCabinet(context->fdi, hf, &info);
  context->RethrowPending();
  if (!is) {
    if (!context->erf.fError) context->erf = {::FDIERROR_NOT_A_CABINET, 0, TRUE};
    context->Report();
    return false;
  }
  context->Report();
  if (pfdici) {
    pfdici->cbCabinet = info.cbCabinet;
    pfdici->cFolders = info.cFolders;
    pfdici->cFiles = info.cFiles;
    pfdici->setID = info.setID;
    pfdici->iCabinet = info.iCabinet;
    pfdici->fReserve = info.fReserve != FALSE;
    pfdici->hasprev = info.hasprev != FALSE;
    pfdici->hasnext = info.hasnext != FALSE;
  }
  return true;
}

bool FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  Activate activate(context);
  context->Forget();
  context->erf = {};
  if (!pfnfdin) {
    context->erf = {::FDIERROR_USER_ABORT, 0, TRUE};
    context->Report();
    return false;
  }
  context->notify = pfnfdin;
  context->user = pvUser;
  context->entry = 0;
  context->failure = FDIERROR_NONE;
  // The library joins the two as they are, as the header does; it is only
  // spared null names.
  std::string name = pszCabinet ? pszCabinet : "";
  std::string path = pszCabPath ? pszCabPath : "";
  context->folders = DeclaredFolders(*context, path + name);
  context->RethrowPending();
  bool ok = ::FDICopy(context->fdi, name.data(), path.data(), flags, Notify, nullptr, pvUser);
  if (context->failure != FDIERROR_NONE) {
    ok = false;
    context->erf = {context->failure, 0, TRUE};
  }
  if (!ok && context->entry != 0) {
    const INT_PTR entry = context->entry;
    context->entry = 0;
    context->Always<int>(-1, [&] { return context->close(entry); });
  }
  context->notify = nullptr;
  context->user = nullptr;
  context->RethrowPending();
  if (!ok && !context->erf.fError) context->erf = {::FDIERROR_USER_ABORT, 0, TRUE};
  context->Report();
  return ok;
}

bool FDIDestroy(HFDI hfdi) {
  if (!hfdi) return false;
  FdiContext* context = hfdi;
  {
    Activate activate(context);
    ::FDIDestroy(context->fdi);
  }
  PFNFREE release = context->free;
  context->~FdiContext();
  release(context);
  return true;
}

}  // namespace cabinet
