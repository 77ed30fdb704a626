// TCabArchive: the non-visual component that unpacks a cabinet with
// ExtractAll. Unlike ExtractCabinet it asks before replacing an existing
// file, reports the progress of every entry, and shows the system's text of
// any file error in a message box.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/cabinet.h"
#include "platform/component.h"

enum TCompressionType { typNone, typMSZIP, typLZX };
enum TLZXMemory { lzxLowest, lzxLower, lzxLow, lzxMedium, lzxHigh, lzxHigher, lzxHighest };

class TCabArchive;

using TCompressProgress =
    std::function<void(TCabArchive* Sender, std::int64_t pos, std::int64_t tot)>;
using TDeCompressProgress = std::function<void(TCabArchive* Sender, const std::string& FileName,
                                               std::int64_t pos, std::int64_t tot)>;
using TOverWriteFile =
    std::function<void(TCabArchive* Sender, const std::string& FileName, bool& Allow)>;

// One item of the contents list a form may carry.
class TCabArchiveEntry : public TPersistent {
 public:
  std::string Name;
  std::string RelPath;
  void DefineProperties(PropertyList& p) override;
};

// The contents list; ExtractAll neither reads nor fills it.
class TCabArchiveContents {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TCabArchiveEntry& Items(int index) { return *items_.at(index); }
  TCabArchiveEntry& Add();
  void Delete(int index);
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TCabArchiveEntry>> items_;
};

class TCabArchive : public TComponent {
 public:
  explicit TCabArchive(TComponent* owner);
  ~TCabArchive() override;
  std::string ClassName() const override { return "TCabArchive"; }
  void DefineProperties(PropertyList& p) override;

  // ---- Published properties, in declaration order ----
  TCabArchiveContents CABContents;
  std::string CABFile;
  // Compression settings; extraction ignores them.
  TCompressionType CompressionType = typMSZIP;
  TLZXMemory LZXMemory = lzxLowest;
  std::string TargetPath;
  TCompressProgress OnCompressProgress;  // never raised by extraction
  TDeCompressProgress OnDecompressProgress;
  TOverWriteFile OnOverWriteFile;
  // Read-only; a stored value is ignored.
  std::string Version() const { return "1.5.3.1"; }

  // Extracts every entry of CABFile into TargetPath (a separator is added
  // when it has none; empty means the current folder) by the rules of
  // ExtractCabinet. An existing file is offered to OnOverWriteFile and
  // replaced when allowed, otherwise the entry is skipped. True when the
  // cabinet service reported success; false when the cabinet is missing,
  // not a cabinet, corrupt, a file cannot be created, an entry is refused,
  // the cabinet declares more than it or the disk can hold (shown in a
  // warning box), or another ExtractAll is running. An exception from an
  // event handler propagates after the extraction has been wound up.
  bool ExtractAll();

 private:
  static cabinet::INT_PTR Notify(cabinet::FDINOTIFICATIONTYPE type, cabinet::FDINOTIFICATION* n);
  static unsigned Write(cabinet::INT_PTR hf, void* pv, unsigned cb);
  static int Close(cabinet::INT_PTR hf);
  static long Seek(cabinet::INT_PTR hf, long dist, int seektype);
  static void ShowLastError();

  std::string CurrentFileName;  // the entry name as stored in the cabinet
  std::int64_t CurrentFileSize = 0;
  std::int64_t BytesWritten = 0;
};
