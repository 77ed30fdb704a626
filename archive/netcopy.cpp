#include "archive/netcopy.h"

#include <utility>

TNetCopyItem& TNetCopyItems::Add() {
  items_.push_back(std::make_unique<TNetCopyItem>(this));
  return *items_.back();
}

void TNetCopyItems::Delete(int index) {
  items_.erase(items_.begin() + index);
}

void TNetCopyItem::DefineProperties(PropertyList& p) {
  p.Bool("Active", Active, true);
  p.Enum("Authenticate", Authenticate, {"waNever", "waAlways", "waAuto"},
         TNetCopyAuthentication::waNever);
  p.Bool("CopyNewerOnly", CopyNewerOnly, false);
  p.String("DisplayURL", DisplayURL);
  // Dates are stored as whole days; the time of day of a copied file's date
  // is never part of a definition.
  p.Custom(
      "FileDate",
      [this](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Integer) throw EReadError("FileDate takes a number");
        FileDate = static_cast<TDateTime>(v.integer);
      },
      [this]() -> std::optional<StoredValue> {
        if (FileDate == 0) return std::nullopt;
        StoredValue v;
        v.kind = StoredValue::Kind::Integer;
        v.integer = static_cast<std::int64_t>(FileDate);
        return v;
      });
  p.String("FTPHost", FTPHost);
  p.String("FTPUserID", FTPUserID);
  p.String("FTPPassword", FTPPassword);
  p.Integer("FTPPort", FTPPort, 21);
  p.Enum("HTTPCommand", HTTPCommand, {"hcPost", "hcPut"}, hcPost);
  p.Enum("Protocol", Protocol,
         {"wpHttp", "wpFtp", "wpFile", "wpFtpUpload", "wpHttpUpload", "wpMultiFtp",
          "wpMultiFtpUpload", "wpFtpDelete", "wpFtpList", "wpFtpTest"},
         wpHttp);
  p.String("TargetDir", TargetDir);
  p.String("TargetFilename", TargetFilename);
  p.String("URL", URL);
  p.String("HTTPUserID", HTTPUserID);
  p.String("HTTPPassword", HTTPPassword);
}

void TNetCopyItem::Assign(const TPersistent* source) {
  const auto* item = dynamic_cast<const TNetCopyItem*>(source);
  if (!item || item == this) return;
  Active = item->Active;
  Authenticate = item->Authenticate;
  CopyNewerOnly = item->CopyNewerOnly;
  DisplayURL = item->DisplayURL;
  FileDate = item->FileDate;
  FTPHost = item->FTPHost;
  FTPUserID = item->FTPUserID;
  FTPPassword = item->FTPPassword;
  FTPPort = item->FTPPort;
  HTTPCommand = item->HTTPCommand;
  Protocol = item->Protocol;
  TargetDir = item->TargetDir;
  TargetFilename = item->TargetFilename;
  URL = item->URL;
  HTTPUserID = item->HTTPUserID;
  HTTPPassword = item->HTTPPassword;
}

void TNetCopy::DefineProperties(PropertyList& p) {
  p.String("Agent", Agent);
  p.Bool("AlwaysOnTop", AlwaysOnTop, false);
  p.Bool("CreateUniqueFilenames", CreateUniqueFilenames, false);
  const std::pair<const char*, std::string*> texts[] = {
      {"DlgCancel", &DlgCancel},
      {"DlgCaption", &DlgCaption},
      {"DlgCompleted", &DlgCompleted},
      {"DlgClose", &DlgClose},
      {"DlgFileLabel", &DlgFileLabel},
      {"DlgFileOfLabel", &DlgFileOfLabel},
      {"DlgFromServerLabel", &DlgFromServerLabel},
      {"DlgToServerLabel", &DlgToServerLabel},
      {"DlgProgressLabel", &DlgProgressLabel},
      {"DlgRateLabel", &DlgRateLabel},
      {"DlgTimeLabel", &DlgTimeLabel},
      {"DlgElapsedTimeLabel", &DlgElapsedTimeLabel},
      {"DlgCopying", &DlgCopying},
      {"DlgDwnload", &DlgDwnload},
      {"DlgUpload", &DlgUpload},
      {"DlgOpenFile", &DlgOpenFile},
      {"DlgOpenFolder", &DlgOpenFolder},
  };
  for (const auto& [name, field] : texts) p.String(name, *field);
  p.Bool("FTPPassive", FTPPassive, false);
  p.Bool("HTTPKeepAliveAuthentication", HTTPKeepAliveAuthentication, false);
  // As with the other collections, a definition can only state an empty list.
  p.Custom(
      "Items",
      [this](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Set || !v.items.empty())
          throw EReadError("property Items takes no items in a form definition");
        Items.Clear();
      },
      []() -> std::optional<StoredValue> { return std::nullopt; });
  p.String("Proxy", Proxy);
  p.String("ProxyUserID", ProxyUserID);
  p.String("ProxyPassword", ProxyPassword);
  p.Bool("DlgShowCancel", DlgShowCancel, true);
  p.Bool("DlgShowCloseBtn", DlgShowCloseBtn, false);
  p.Bool("ShowDialog", ShowDialog, true);
  p.Bool("ShowDialogOnTop", ShowDialogOnTop, true);
  p.Bool("ShowOpenFile", ShowOpenFile, false);
  p.Bool("ShowOpenFolder", ShowOpenFolder, false);
  p.Bool("ShowCompletion", ShowCompletion, false);
  p.Bool("ShowElapsedTime", ShowElapsedTime, false);
  p.Bool("ShowFileName", ShowFileName, true);
  p.Bool("ShowServer", ShowServer, true);
  p.Bool("ShowTime", ShowTime, false);
  p.StringAccessor(
      "Version", [this] { return Version(); }, [](const std::string&) {});
  for (const char* event :
       {"OnBeforeDialogShow", "OnConnectError", "OnCopyCancel", "OnCopyDone", "OnCopyOverWrite",
        "OnCopyProgress", "OnError", "OnErrorInfo", "OnFileDone", "OnFileStart", "OnFileDateCheck",
        "OnMultiFTPFileDone", "OnURLNotFound", "OnNoNewFileFound", "OnRemovedFile",
        "OnRemovedFileFailed"})
    p.Event(event);
}
