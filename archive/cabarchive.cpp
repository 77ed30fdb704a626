#include "archive/cabarchive.h"

#include <atomic>

#include "archive/cabinet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/ui.h"

namespace {

// The write and close callbacks get no context from the library, so the
// component whose entry is being written, and the files of the running
// extraction, are found here.
TCabArchive* current = nullptr;
archive::EntryFiles* output = nullptr;
std::atomic<bool> extracting{false};

// The system's message texts are read into a buffer of this size.
constexpr std::size_t kMaxMessageLength = 1024;

}  // namespace

void TCabArchiveEntry::DefineProperties(PropertyList& p) {
  p.String("Name", Name);
  p.String("RelPath", RelPath);
}

TCabArchiveEntry& TCabArchiveContents::Add() {
  items_.push_back(std::make_unique<TCabArchiveEntry>());
  return *items_.back();
}

void TCabArchiveContents::Delete(int index) {
  items_.erase(items_.begin() + index);
}

TCabArchive::TCabArchive(TComponent* owner) : TComponent(owner) {}

TCabArchive::~TCabArchive() {
  if (current == this) current = nullptr;
}

void TCabArchive::DefineProperties(PropertyList& p) {
  // The form reader has no syntax for collection items yet: an empty list
  // is all a definition can state, and only a list that is not empty would
  // be stored.
  p.Custom(
      "CABContents",
      [this](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Set || !v.items.empty())
          throw EReadError("property CABContents takes no items in a form definition");
        CABContents.Clear();
      },
      []() -> std::optional<StoredValue> { return std::nullopt; });
  p.String("CABFile", CABFile);
  p.Enum("CompressionType", CompressionType, {"typNone", "typMSZIP", "typLZX"}, typMSZIP);
  p.Enum("LZXMemory", LZXMemory,
         {"lzxLowest", "lzxLower", "lzxLow", "lzxMedium", "lzxHigh", "lzxHigher", "lzxHighest"},
         lzxLowest);
  p.String("TargetPath", TargetPath);
  p.Event("OnCompressProgress");
  p.Event("OnDecompressProgress");
  p.Event("OnOverWriteFile");
  p.StringAccessor(
      "Version", [this] { return Version(); }, [](const std::string&) {});
}

void TCabArchive::ShowLastError() {
  const std::uint32_t error = kernel::GetLastError();
  if (error == kernel::ERROR_SUCCESS) return;
  std::string text = kernel::FormatMessage(error);
  if (text.size() > kMaxMessageLength) text.resize(kMaxMessageLength);
  ui::MessageBox(nullptr, text, "Error", ui::MB_OK | ui::MB_ICONWARNING);
}

// The error display reads the thread's last error after the call. The file
// calls clear it when they open or create a file, so what it shows is the
// failure of the entry at hand: for an entry that cannot be created that is
// the close of the cabinet as the service winds up, which is how a caller
// that ignores the result still tells the user.
unsigned TCabArchive::Write(cabinet::INT_PTR hf, void* pv, unsigned cb) {
  const unsigned written = archive::FdiWrite(hf, pv, cb);
  ShowLastError();
  if (TCabArchive* self = current) {
    self->BytesWritten += cb;
    if (self->OnDecompressProgress)
      self->OnDecompressProgress(self, self->CurrentFileName, self->BytesWritten,
                                 self->CurrentFileSize);
  }
  return written;
}

int TCabArchive::Close(cabinet::INT_PTR hf) {
  const int result = output->Close(hf);
  ShowLastError();
  return result;
}

long TCabArchive::Seek(cabinet::INT_PTR hf, long dist, int seektype) {
  const long result = archive::FdiSeek(hf, dist, seektype);
  ShowLastError();
  return result;
}

cabinet::INT_PTR TCabArchive::Notify(cabinet::FDINOTIFICATIONTYPE type,
                                     cabinet::FDINOTIFICATION* n) {
  switch (type) {
    case cabinet::fdintCOPY_FILE: {
      auto* self = static_cast<TCabArchive*>(n->pv);
      const std::string name = n->psz1 ? n->psz1 : "";
      cabinet::INT_PTR result = -1;
      if (const auto path = output->Prepare(name)) {
        bool allow = true;
        if (kernel::FileExists(*path) && self->OnOverWriteFile)
          self->OnOverWriteFile(self, *path, allow);
        result = allow ? output->Create(*path, n->cb) : 0;
      }
      self->CurrentFileName = name;
      self->BytesWritten = 0;
      self->CurrentFileSize = n->cb;
      current = self;
      return result;
    }
    case cabinet::fdintCLOSE_FILE_INFO: {
      const bool committed = output->Commit(n->hf, n->date, n->time);
      ShowLastError();
      return committed ? 1 : 0;
    }
    default:
      return 0;
  }
}

bool TCabArchive::ExtractAll() {
  if (extracting.exchange(true)) return false;
  std::string target = TargetPath;
  if (!target.empty() && target.back() != '\\' && target.back() != '/') target += '\\';
  archive::EntryFiles files(target);
  output = &files;
  struct Running {
    ~Running() {
      current = nullptr;
      output = nullptr;
      extracting = false;
    }
  } running;

  if (!archive::CanRead(CABFile)) return false;

  cabinet::ERF erf;
  // Destroyed on every way out, also when an event handler throws.
  archive::FdiContextPtr fdi(cabinet::FDICreate(archive::FdiAlloc, archive::FdiFree,
                                                archive::FdiOpen, archive::FdiRead, Write, Close,
                                                Seek, cabinet::cpu80386, &erf));
  if (!fdi) return false;

  bool result = false;
  const bool isCabinet = archive::IsCabinetFile(fdi.get(), CABFile);
  if (isCabinet && !archive::CabinetFitsTarget(CABFile, target)) {
    ShowLastError();
  } else if (isCabinet) {
    std::string name = archive::ExtractFileName(CABFile);
    std::string folder = archive::ExtractFilePath(archive::ExpandFileName(CABFile));
    result = cabinet::FDICopy(fdi.get(), name.data(), folder.data(), 0, Notify, nullptr, this);
  }
  if (!cabinet::FDIDestroy(fdi.release())) result = false;
  return result;
}
