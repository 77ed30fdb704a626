// The network copy component: a list of files to copy between web, FTP and
// file locations, with the texts and switches of its progress dialog. The
// start program's unpack frame only holds one as stored configuration; no
// copy operation exists, so none of its events is ever raised.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/ui.h"

// Scoped: the update component's authentication enumeration uses the same
// identifiers, and the start program holds both components.
enum class TNetCopyAuthentication { waNever, waAlways, waAuto };
enum TNetCopyHTTPCommand { hcPost, hcPut };
enum TNetCopyProtocol {
  wpHttp,
  wpFtp,
  wpFile,
  wpFtpUpload,
  wpHttpUpload,
  wpMultiFtp,
  wpMultiFtpUpload,
  wpFtpDelete,
  wpFtpList,
  wpFtpTest
};

using TDateTime = double;  // days since 30 December 1899

class TNetCopy;
class TNetCopyItems;

class TNetCopyItem : public TPersistent {
 public:
  explicit TNetCopyItem(TNetCopyItems* collection) : collection_(collection) {}
  void DefineProperties(PropertyList& p) override;
  // Copies every published property; nothing when the source is not an item.
  void Assign(const TPersistent* source);
  TNetCopyItems* Collection() const { return collection_; }

  bool Active = true;
  TNetCopyAuthentication Authenticate = TNetCopyAuthentication::waNever;
  bool CopyNewerOnly = false;
  std::string DisplayURL;
  TDateTime FileDate = 0;
  std::string FTPHost, FTPUserID, FTPPassword;
  int FTPPort = 21;
  TNetCopyHTTPCommand HTTPCommand = hcPost;
  TNetCopyProtocol Protocol = wpHttp;
  std::string TargetDir, TargetFilename, URL;
  std::string HTTPUserID, HTTPPassword;

 private:
  TNetCopyItems* collection_;
};

class TNetCopyItems {
 public:
  explicit TNetCopyItems(TNetCopy* owner) : owner_(owner) {}
  TNetCopy* Owner() const { return owner_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TNetCopyItem& Items(int index) { return *items_.at(static_cast<std::size_t>(index)); }
  TNetCopyItem& Add();
  void Delete(int index);
  void Clear() { items_.clear(); }

 private:
  TNetCopy* owner_;
  std::vector<std::unique_ptr<TNetCopyItem>> items_;
};

class TNetCopy : public TComponent {
 public:
  explicit TNetCopy(TComponent* owner) : TComponent(owner) {}
  std::string ClassName() const override { return "TNetCopy"; }
  void DefineProperties(PropertyList& p) override;

  std::string Agent = "NetCopy";
  bool AlwaysOnTop = false;
  bool CreateUniqueFilenames = false;
  std::string DlgCancel = "Cancel";
  std::string DlgCaption = "Downloading";
  std::string DlgCompleted = "completed";
  std::string DlgClose = "Close";
  std::string DlgFileLabel = "File :";
  std::string DlgFileOfLabel = "of";
  std::string DlgFromServerLabel = "from";
  std::string DlgToServerLabel = "to";
  std::string DlgProgressLabel = "Progress :";
  std::string DlgRateLabel = "Transfer rate :";
  std::string DlgTimeLabel = "Estimated time left :";
  std::string DlgElapsedTimeLabel = "Elapsed time :";
  std::string DlgCopying = "Copying";
  std::string DlgDwnload = "Downloading";
  std::string DlgUpload = "Uploading";
  std::string DlgOpenFile = "Open file";
  std::string DlgOpenFolder = "Open folder";
  bool FTPPassive = false;
  bool HTTPKeepAliveAuthentication = false;
  TNetCopyItems Items{this};
  std::string Proxy, ProxyUserID, ProxyPassword;
  bool DlgShowCancel = true;
  bool DlgShowCloseBtn = false;
  bool ShowDialog = true;
  bool ShowDialogOnTop = true;
  bool ShowOpenFile = false, ShowOpenFolder = false, ShowCompletion = false,
       ShowElapsedTime = false;
  bool ShowFileName = true;
  bool ShowServer = true;
  bool ShowTime = false;
  std::string Version() const { return "2.3.0.0"; }

  std::function<void(TNetCopy* Sender, ui::Form* ADialog)> OnBeforeDialogShow;
  std::function<void(TNetCopy* Sender)> OnConnectError;
  std::function<void(TNetCopy* Sender)> OnCopyCancel;
  std::function<void(TNetCopy* Sender)> OnCopyDone;
  std::function<void(TNetCopy* Sender, const std::string& tgtfile, bool& allow)> OnCopyOverWrite;
  std::function<void(TNetCopy* Sender, int fileidx, std::uint32_t size, std::uint32_t totsize)>
      OnCopyProgress;
  std::function<void(TNetCopy* Sender, int ErrorCode)> OnError;
  std::function<void(TNetCopy* Sender, int ErrorCode, const std::string& ErrorInfo)> OnErrorInfo;
  std::function<void(TNetCopy* Sender, int idx)> OnFileDone;
  std::function<void(TNetCopy* Sender, int idx)> OnFileStart;
  std::function<void(TNetCopy* Sender, int idx, TDateTime newdate, bool& allow)> OnFileDateCheck;
  std::function<void(TNetCopy* Sender, const std::string& Filename)> OnMultiFTPFileDone;
  std::function<void(TNetCopy* Sender, const std::string& url)> OnURLNotFound;
  std::function<void(TNetCopy* Sender, const std::string& tgtfile, TDateTime curdate,
                     TDateTime newdate)>
      OnNoNewFileFound;
  std::function<void(TNetCopy* Sender, int idx)> OnRemovedFile;
  std::function<void(TNetCopy* Sender, int idx)> OnRemovedFileFailed;
};
