// LZ expansion of "SZDD" files through libmspack. The library works through
// an mspack_system of ours whose "file names" are descriptors of files we
// have already opened, so expansion streams from one descriptor to the other
// with the library's small fixed buffers and no temporary files.
//
// A file created for output is written under a temporary name beside the
// target and renamed over it when the handle is closed, unless a copy into it
// failed: then the temporary file is removed and an existing target stays as
// it was.
#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>

#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/lz.h"
#include "platform/lz_szdd.h"
#include "platform/posix/posix_io.h"

namespace lz {

namespace {

// ---- Handle table -------------------------------------------------------------

struct Entry {
  bool used = false;
  OpenMode mode = OpenMode::Read;
  int fd = -1;
  std::string path;      // the target name (Create)
  std::string tempPath;  // where the target is written until it is closed
  mode_t fileMode = 0;
  bool failed = false;  // a copy into this target failed
};

szdd::HandleTable<Entry> table;

// ---- Header ------------------------------------------------------------------------

using szdd::Header;
using szdd::Kind;

Header ReadHeader(int fd) {
  unsigned char h[szdd::kHeaderSize];
  ssize_t n;
  do n = ::pread(fd, h, sizeof h, 0);
  while (n < 0 && errno == EINTR);
  return szdd::ParseHeader(h, n < 0 ? 0 : static_cast<std::size_t>(n));
}

// ---- The mspack_system over open descriptors ------------------------------------

// What a "file name" given to the library stands for; the counts outlive the
// library's own file objects.
struct Stream {
  int fd = -1;
  bool output = false;
  std::uint64_t limit = 0;    // output: the length the header promises
  std::uint64_t written = 0;  // output: bytes kept
  bool readError = false;
  bool writeError = false;
  bool surplus = false;  // output: the data decoded to more than the limit
  // The decoder writes a few bytes at a time; they are gathered here so the
  // file sees large writes.
  std::string pending;
  void Flush() {
    if (!writeError && !pending.empty() && !posix_io::WriteAll(fd, pending)) writeError = true;
    pending.clear();
  }
};

struct File {
  Stream* stream;
  off_t offset = 0;  // input: read position
};

mspack_file* SysOpen(mspack_system*, const char* name, int mode) {
  auto* stream = reinterpret_cast<Stream*>(const_cast<char*>(name));
  bool wantOutput = mode == MSPACK_SYS_OPEN_WRITE;
  if (!stream || stream->output != wantOutput) return nullptr;
  return reinterpret_cast<mspack_file*>(new (std::nothrow) File{stream});
}

void SysClose(mspack_file* file) {
  delete reinterpret_cast<File*>(file);
}

int SysRead(mspack_file* file, void* buffer, int bytes) {
  auto* f = reinterpret_cast<File*>(file);
  if (f->stream->output || bytes < 0) return -1;
  ssize_t n;
  do n = ::pread(f->stream->fd, buffer, static_cast<std::size_t>(bytes), f->offset);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    f->stream->readError = true;
    return -1;
  }
  f->offset += n;
  return static_cast<int>(n);
}

int SysWrite(mspack_file* file, void* buffer, int bytes) {
  Stream* s = reinterpret_cast<File*>(file)->stream;
  if (!s->output || bytes < 0) return -1;
  // A damaged stream may decode to more than the header promised; the
  // surplus is dropped so that the output never outgrows that length, and
  // the expansion fails: which of the two lengths is wrong cannot be told.
  std::uint64_t room = s->limit - s->written;
  auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(room, static_cast<unsigned>(bytes)));
  if (keep < static_cast<std::size_t>(bytes)) s->surplus = true;
  if (s->writeError) return -1;
  s->pending.append(static_cast<const char*>(buffer), keep);
  if (s->pending.size() >= (1u << 16)) s->Flush();
  if (s->writeError) return -1;
  s->written += keep;
  return bytes;
}

int SysSeek(mspack_file* file, off_t offset, int mode) {
  auto* f = reinterpret_cast<File*>(file);
  if (f->stream->output) return -1;
  off_t base = 0;
  if (mode == MSPACK_SYS_SEEK_CUR) {
    base = f->offset;
  } else if (mode == MSPACK_SYS_SEEK_END) {
    struct stat st {};
    if (::fstat(f->stream->fd, &st) != 0) return -1;
    base = st.st_size;
  } else if (mode != MSPACK_SYS_SEEK_START) {
    return -1;
  }
  if (offset < 0 && base < -offset) return -1;
  f->offset = base + offset;
  return 0;
}

off_t SysTell(mspack_file* file) {
  auto* f = reinterpret_cast<File*>(file);
  return f->stream->output ? static_cast<off_t>(f->stream->written) : f->offset;
}

void SysMessage(mspack_file*, const char*, ...) {}
void* SysAlloc(mspack_system*, size_t bytes) {
  return std::malloc(bytes);
}
void SysFree(void* p) {
  std::free(p);
}
void SysCopy(void* src, void* dest, size_t bytes) {
  std::memmove(dest, src, bytes);
}

mspack_system* System() {
  static mspack_system sys = {SysOpen,    SysClose, SysRead, SysWrite, SysSeek, SysTell,
                              SysMessage, SysAlloc, SysFree, SysCopy,  nullptr};
  return &sys;
}

long ExpandSZDD(int in, int out, std::uint32_t length) {
  msszdd_decompressor* d = mspack_create_szdd_decompressor(System());
  if (!d) return LZERROR_GLOBALLOC;
  Stream input;
  input.fd = in;
  input.output = false;
  Stream output;
  output.fd = out;
  output.output = true;
  output.limit = length;
  int error = MSPACK_ERR_READ;
  if (msszddd_header* header = d->open(d, reinterpret_cast<const char*>(&input))) {
    error = d->extract(d, header, reinterpret_cast<const char*>(&output));
    output.Flush();
    d->close(d, header);
  }
  mspack_destroy_szdd_decompressor(d);
  if (output.writeError || error == MSPACK_ERR_WRITE) return LZERROR_WRITE;
  if (error == MSPACK_ERR_NOMEMORY) return LZERROR_GLOBALLOC;
  // The decoder stops quietly at the end of its input, so a truncated file
  // shows only as output shorter than the header promised.
  if (error != MSPACK_ERR_OK || output.written != length || output.surplus) return LZERROR_READ;
  return static_cast<long>(output.written);
}

long CopyPlain(int in, int out) {
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(in, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LZERROR_READ;
    if (n == 0) return static_cast<long>(offset);
    offset += n;
    const char* p = buffer;
    while (n > 0) {
      ssize_t w = ::write(out, p, static_cast<std::size_t>(n));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return LZERROR_WRITE;
      p += w;
      n -= w;
    }
  }
}

}  // namespace

Handle LZOpenFile(const std::string& path, OpenMode mode) {
  std::string local = kernel::ResolveLetterCase(path);
  Entry entry;
  entry.mode = mode;
  if (mode == OpenMode::Read) {
    entry.fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (entry.fd >= 0 && (::fstat(entry.fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(entry.fd);
      entry.fd = -1;
    }
    if (entry.fd < 0) return LZERROR_BADINHANDLE;
  } else {
    if (local.empty() || local.back() == '/') return LZERROR_BADOUTHANDLE;
    struct stat st {};
    if (::stat(local.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) return LZERROR_BADOUTHANDLE;
      entry.fileMode = st.st_mode & 07777;
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      entry.fileMode = 0666 & ~mask;
    }
    entry.path = local;
    // A fixed name beside the target: what a killed expansion left there is
    // replaced by the next expansion of the same file.
    entry.tempPath = local + kernel::TemporaryFile::kPartialSuffix;
    ::unlink(entry.tempPath.c_str());
    entry.fd = kernel::CreateNewFile(entry.tempPath);
    if (entry.fd < 0) return LZERROR_BADOUTHANDLE;
  }
  Handle handle = table.Add(entry);
  if (handle < 0) {
    ::close(entry.fd);
    if (mode == OpenMode::Create) ::unlink(entry.tempPath.c_str());
  }
  return handle;
}

int GetExpandedName(const std::string& path, std::string& expanded) {
  int fd = ::open(kernel::ResolveLetterCase(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LZERROR_BADINHANDLE;
  Header header = ReadHeader(fd);
  ::close(fd);
  return szdd::ExpandedName(path, header, expanded);
}

long LZCopy(Handle source, Handle target) {
  auto in = table.Get(source);
  if (!in || in->mode != OpenMode::Read) return LZERROR_BADINHANDLE;
  auto out = table.Get(target);
  if (!out || out->mode != OpenMode::Create) return LZERROR_BADOUTHANDLE;
  Header header = ReadHeader(in->fd);
  long result;
  switch (header.kind) {
    case Kind::Plain:
      result = CopyPlain(in->fd, out->fd);
      break;
    case Kind::SZDD:
      result = ExpandSZDD(in->fd, out->fd, header.length);
      break;
    case Kind::UnknownAlg:
      result = LZERROR_UNKNOWNALG;
      break;
    case Kind::Broken:
    default:
      result = LZERROR_READ;
      break;
  }
  if (result < 0) table.MarkFailed(target);
  return result;
}

void LZClose(Handle handle) {
  std::optional<Entry> taken = table.Take(handle);
  if (!taken) return;
  Entry& entry = *taken;
  if (entry.mode == OpenMode::Read) {
    ::close(entry.fd);
    return;
  }
  bool ok = !entry.failed && ::fchmod(entry.fd, entry.fileMode) == 0 && ::fsync(entry.fd) == 0;
  ok = ::close(entry.fd) == 0 && ok;
  if (!ok || ::rename(entry.tempPath.c_str(), entry.path.c_str()) != 0)
    ::unlink(entry.tempPath.c_str());
}

}  // namespace lz
