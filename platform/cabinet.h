// The cabinet decompression service, in the shape of the FDI interface: a
// context made with the program's own memory and file callbacks, a test
// whether an open file is a cabinet, and a copy that asks the program about
// every entry through notifications.
//
// What a program may rely on during FDICopy, for each entry in stored order:
// one fdintCOPY_FILE notification with the entry's name and size; a handle
// returned from it receives the entry's data through the write callback, in
// blocks, and then one fdintCLOSE_FILE_INFO notification carries the entry's
// DOS date and time and that handle, which the program closes. A copy-file
// answer of 0 skips the entry, -1 aborts the whole copy. The cabinet is
// opened once through the open callback and held open until FDICopy
// returns; it is read, seeked and closed only through the callbacks, the
// decompressor's memory comes from the alloc callback, and nothing is
// written but the program's handles.
//
// Stored, MSZIP, Quantum and LZX data are read. A cabinet that spans several
// files is not followed into the next one: an entry that continues there
// fails the copy.
#pragma once

#include <cstdint>

namespace cabinet {

using INT_PTR = std::intptr_t;

// Program-supplied callbacks. Handles are the program's own values; -1 is
// the failed open. read and write return the byte count or
// static_cast<unsigned>(-1); seek returns the new position or -1; close
// returns 0 on success.
using PFNALLOC = void* (*)(unsigned long cb);
using PFNFREE = void (*)(void* pv);
using PFNOPEN = INT_PTR (*)(char* pszFile, int oflag, int pmode);
using PFNREAD = unsigned (*)(INT_PTR hf, void* pv, unsigned cb);
using PFNWRITE = unsigned (*)(INT_PTR hf, void* pv, unsigned cb);
using PFNCLOSE = int (*)(INT_PTR hf);
using PFNSEEK = long (*)(INT_PTR hf, long dist, int seektype);

// The open-flag and permission words handed to the open callback for the
// cabinet (binary, read-only; read and write permission).
inline constexpr int kOpenReadBinary = 0x8000;
inline constexpr int kPermissionReadWrite = 0x0180;
// Seek origins.
enum : int { SEEK_FROM_START = 0, SEEK_FROM_CURRENT = 1, SEEK_FROM_END = 2 };

// Processor types of FDICreate (kept for the shape; all work the same).
enum : int { cpuUNKNOWN = -1, cpu80286 = 0, cpu80386 = 1 };

enum FDIERROR : int {
  FDIERROR_NONE,
  FDIERROR_CABINET_NOT_FOUND,
  FDIERROR_NOT_A_CABINET,
  FDIERROR_UNKNOWN_CABINET_VERSION,
  FDIERROR_CORRUPT_CABINET,
  FDIERROR_ALLOC_FAIL,
  FDIERROR_BAD_COMPR_TYPE,
  FDIERROR_MDI_FAIL,
  FDIERROR_TARGET_FILE,
  FDIERROR_RESERVE_MISMATCH,
  FDIERROR_WRONG_CABINET,
  FDIERROR_USER_ABORT,
};

// Error record filled by every call of a context: erfOper is the FDIERROR.
struct ERF {
  int erfOper = 0;
  int erfType = 0;
  bool fError = false;
};

struct FDICABINETINFO {
  std::int32_t cbCabinet = 0;  // total length of the cabinet file
  std::uint16_t cFolders = 0;
  std::uint16_t cFiles = 0;
  std::uint16_t setID = 0;
  std::uint16_t iCabinet = 0;  // number of this cabinet in its set
  bool fReserve = false;       // reserved areas present
  bool hasprev = false;
  bool hasnext = false;
};

enum FDINOTIFICATIONTYPE : int {
  fdintCABINET_INFO,     // psz1 next cabinet, psz2 next disk, psz3 cabinet path
  fdintPARTIAL_FILE,     // psz1 entry that began in an earlier cabinet
  fdintCOPY_FILE,        // psz1 entry name, cb size, date, time, attribs, iFolder
  fdintCLOSE_FILE_INFO,  // psz1 entry name, hf, date, time, attribs, cb 1 = run it
  fdintNEXT_CABINET,
  fdintENUMERATE,
};

struct FDINOTIFICATION {
  std::int32_t cb = 0;
  char* psz1 = nullptr;
  char* psz2 = nullptr;
  char* psz3 = nullptr;
  void* pv = nullptr;  // the pvUser of FDICopy
  INT_PTR hf = 0;
  std::uint16_t date = 0;  // DOS date: bits 9-15 year - 1980, 5-8 month, 0-4 day
  std::uint16_t time = 0;  // DOS time: bits 11-15 hour, 5-10 minute, 0-4 second / 2
  std::uint16_t attribs = 0;
  std::uint16_t setID = 0;
  std::uint16_t iCabinet = 0;
  std::uint16_t iFolder = 0;
  FDIERROR fdie = FDIERROR_NONE;
};

// fdintCOPY_FILE: a handle to extract into, 0 to skip, -1 to abort.
// fdintCLOSE_FILE_INFO: non-zero to go on, 0 to abort.
// fdintCABINET_INFO and the others: -1 aborts, anything else goes on.
using PFNFDINOTIFY = INT_PTR (*)(FDINOTIFICATIONTYPE fdint, FDINOTIFICATION* pfdin);
// Decryption is not offered; FDICopy ignores this callback.
using PFNFDIDECRYPT = int (*)(void* pfdid);

struct FdiContext;
using HFDI = FdiContext*;

// Makes a context that takes its memory from alloc/free and does all file
// work through the other callbacks; nothing (with perf filled) when memory
// runs out or a callback is missing. The error record must outlive the
// context.
HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, ERF* perf);

// True when the file open as hf (read from its start) is a cabinet whose
// headers can be read; fills the information record. The handle stays open.
bool FDIIsCabinet(HFDI hfdi, INT_PTR hf, FDICABINETINFO* pfdici);

// Extracts the cabinet pszCabPath + pszCabinet (the two are joined as they
// are), asking pfnfdin about every entry. True when every entry was copied
// or skipped; false with the error record set otherwise. A handle the
// program returned for an entry is closed through the close callback when
// the copy fails before the entry's close-file notification. An exception
// thrown by a callback ends the copy and leaves FDICopy after the library
// has let go of everything it held.
bool FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser);

// Releases the context and all memory it holds.
bool FDIDestroy(HFDI hfdi);

}  // namespace cabinet
