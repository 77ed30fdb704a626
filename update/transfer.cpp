// The transfer: opening and closing the Internet library for a run, the FTP
// connection, and fetching one file at a time from an http, ftp or plain
// file location into a local folder.
//
// A fetch always lands in a temporary file first and is moved into place
// only when it completed. The move is one rename over the older file, so the
// older file stays whole through every failure: a broken, cancelled or
// refused transfer, and also a move that fails. A download from a server that
// names the version of the file (an ETag, a date) lands in a file that is
// kept when the transfer breaks off, and the next fetch of the URL asks only
// for the rest.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <vector>

#include "archive/login.h"
#include "platform/base64.h"
#include "platform/lfile.h"
#include "platform/signature.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "update/resume.h"
#include "update/updater.h"
#include "update/updlog.h"

namespace {

constexpr std::uint32_t kDownloadBlock = 4096;
constexpr unsigned kCopyBlock = 16384;
// The largest text FetchTextFile and FetchStreamFile load into memory.
constexpr std::uint64_t kMaxLoadedText = 32u << 20;

std::string StripQuery(const std::string& text) {
  return text.substr(0, text.find('?'));
}

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// Characters that would end the user information of a URL early.
std::string EscapeUserInfo(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (c == ':' || c == '@' || c == '/' || c == '\\' || c == '?' || c == '#' || c == '%' ||
        static_cast<unsigned char>(c) <= ' ') {
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// Positions and sizes above 2 GiB wrap as they would in the 32-bit events.
int EventInt(std::uint64_t value) {
  return static_cast<int>(static_cast<std::uint32_t>(value));
}

std::string TempFolderOf(const TUpdater& updater) {
  return updater.UseWinTempDir ? GetTempDir() : updater.TempDirectory;
}

// Moves a completed temporary file to its target. An older file is replaced
// by the rename itself and is therefore never lost; a replacement that the
// file system refuses is retried once with the older file's read-only and
// hidden attributes cleared, and they are put back when that fails too.
// A temporary that cannot be put in place goes with its owner.
bool PutInPlace(TUpdater& updater, kernel::TemporaryFile& temp, const std::string& target) {
  const std::string path = temp.Path();
  if (kernel::FileExists(target)) {
    if (temp.MoveTo(target)) return true;
    const std::uint32_t attributes = kernel::GetFileAttributes(target);
    constexpr std::uint32_t kInTheWay =
        kernel::FILE_ATTRIBUTE_READONLY | kernel::FILE_ATTRIBUTE_HIDDEN;
    if (attributes != kernel::INVALID_FILE_ATTRIBUTES && (attributes & kInTheWay)) {
      kernel::SetFileAttributes(target, attributes & ~kInTheWay);
      if (temp.MoveTo(target)) return true;
      kernel::SetFileAttributes(target, attributes);
    }
    updater.ReportStatus(msg::kCannotDelete, target, 19, 6);
    WriteLogLine("Unable to delete file " + target);
    return false;
  }
  if (temp.MoveTo(target)) return true;
  updater.ReportStatus(msg::kCannotRename, path + " to " + target, 19, 7);
  WriteLogLine("Unable to rename file " + path + " to " + target);
  return false;
}

// The last error in words, from the Internet library's texts or else the
// system's.
std::string LastErrorText() {
  const std::uint32_t error = kernel::GetLastError();
  const std::string text = inet::FormatMessage(error);
  return text.empty() ? kernel::FormatMessage(error) : text;
}

void DeleteTemporary(kernel::TemporaryFile& temp) {
  const std::string path = temp.Path();
  if (!temp.Discard()) WriteLogLine("Unable to delete file " + path);
}

// A new temporary file for a transfer; a folder where none can be made is
// an input/output error.
kernel::TemporaryFile NewTemporary(const std::string& folder) {
  auto temp = kernel::TemporaryFile::Create(folder, "UPDT");
  if (!temp)
    throw EInOutError("Cannot create a temporary file in " + folder + ": " +
                      kernel::FormatMessage(kernel::GetLastError()));
  return std::move(*temp);
}

// Reads a fetched text file whole, within a sane limit.
std::string LoadFile(const std::string& path) {
  const auto size = kernel::GetFileSize(path);
  if (!size) throw EInOutError("Cannot open file " + path);
  if (*size > kMaxLoadedText)
    throw EInOutError("File " + path + " is too large to load (" + std::to_string(*size) +
                      " bytes)");
  const kernel::FileHandle file(kernel::_lopen(path, kernel::OF_READ));
  if (!file) throw EInOutError("Cannot open file " + path);
  std::string content(static_cast<std::size_t>(*size), '\0');
  const unsigned read = kernel::_lread(file.Get(), content.data(), static_cast<unsigned>(*size));
  if (read == static_cast<unsigned>(kernel::HFILE_ERROR))
    throw EInOutError("Cannot read file " + path);
  content.resize(read);
  return content;
}

// Loads and deletes the file a fetch into the temporary folder put in place
// (path; empty when it put none). An empty answer is put in place by a fetch
// that counts as failed: it is deleted all the same.
std::optional<std::string> TakeFetched(bool fetched, const std::string& path) {
  if (path.empty()) return std::nullopt;
  if (!fetched) {
    kernel::DeleteFile(path);
    return std::nullopt;
  }
  std::string content;
  try {
    content = LoadFile(path);
  } catch (...) {
    kernel::DeleteFile(path);
    throw;
  }
  kernel::DeleteFile(path);
  return content;
}

// Writes the blocks of a download through a small fixed buffer: a write
// call per 4096-byte block costs more than the network does on a fast
// line, and memory stays flat all the same.
class TemporaryWriter {
 public:
  explicit TemporaryWriter(kernel::HFILE file) : file_(file) { buffer_.reserve(kWriteBuffer); }
  bool Write(const char* data, std::size_t size) {
    if (buffer_.size() + size > kWriteBuffer && !Flush()) return false;
    buffer_.insert(buffer_.end(), data, data + size);
    return true;
  }
  bool Flush() {
    if (buffer_.empty()) return true;
    const unsigned size = static_cast<unsigned>(buffer_.size());
    const bool written = kernel::_lwrite(file_, buffer_.data(), size) == size;
    buffer_.clear();
    return written;
  }

 private:
  static constexpr std::size_t kWriteBuffer = 64 * 1024;
  kernel::HFILE file_;
  std::vector<char> buffer_;
};

// Closes a request handle on every way out of a fetch.
struct RequestGuard {
  inet::HINTERNET handle = nullptr;
  ~RequestGuard() { Close(); }
  void Close() {
    if (handle) inet::InternetCloseHandle(handle);
    handle = nullptr;
  }
};

}  // namespace

// ---- Connection ------------------------------------------------------------------------

int TUpdater::OpenConnection() {
  // A run that ended without closing must not leak what it opened.
  if (connectionHandle_ && connectionHandle_ != rootHandle_)
    inet::InternetCloseHandle(connectionHandle_);
  if (rootHandle_) inet::InternetCloseHandle(rootHandle_);
  rootHandle_ = nullptr;
  connectionHandle_ = nullptr;
  if (UpdateType == fileUpdate) return 0;

  if (Proxy.empty())
    rootHandle_ = inet::InternetOpen(Agent, inet::INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
  else
    rootHandle_ = inet::InternetOpen(Agent, inet::INTERNET_OPEN_TYPE_PROXY, Proxy, "", 0);
  if (!rootHandle_) {
    ReportStatus(msg::kCannotOpenInternet, "", 1, 2);
    return 2;
  }
  if (TimeOut > 0)
    inet::InternetSetOption(rootHandle_, inet::INTERNET_OPTION_CONNECT_TIMEOUT,
                            static_cast<std::uint32_t>(TimeOut));
  if (ReceiveTimeOut > 0)
    inet::InternetSetOption(rootHandle_, inet::INTERNET_OPTION_RECEIVE_TIMEOUT,
                            static_cast<std::uint32_t>(ReceiveTimeOut));
  if (UpdateType == httpUpdate) connectionHandle_ = rootHandle_;
  connectionOpen_ = true;
  return 0;
}

int TUpdater::ConnectHost() {
  ftpDirectorySet_ = false;
  ReportStatus(msg::kConnectToHost, Host, 3, 0);
  const bool login = !UserID.empty() && !Password.empty();
  connectionHandle_ =
      inet::InternetConnect(rootHandle_, Host, static_cast<inet::INTERNET_PORT>(Port),
                            login ? UserID : "", login ? Password : "", inet::INTERNET_SERVICE_FTP,
                            FTPPassive ? std::uint32_t{inet::INTERNET_FLAG_PASSIVE} : 0u, 0);
  return connectionHandle_ ? 0 : -1;
}

int TUpdater::CloseConnection() {
  if (UpdateType != fileUpdate) {
    if (UpdateType == ftpUpdate && connectionHandle_ && connectionHandle_ != rootHandle_) {
      inet::InternetCloseHandle(connectionHandle_);
      ReportStatus(msg::kClosedFtp, "", 3, 0);
    }
    connectionHandle_ = nullptr;
    if (rootHandle_) {
      inet::InternetCloseHandle(rootHandle_);
      ReportStatus(msg::kClosedInternet, "", 3, 0);
      rootHandle_ = nullptr;
    }
    ReportStatus(msg::kClosedInternet, "", 3, 0);
  }
  if (!localControlFile_.empty()) kernel::DeleteFile(localControlFile_);
  connectionOpen_ = false;
  return 0;
}

TUpdater::HandleCloser::~HandleCloser() {
  if (self->connectionHandle_ && self->connectionHandle_ != self->rootHandle_)
    inet::InternetCloseHandle(self->connectionHandle_);
  if (self->rootHandle_) inet::InternetCloseHandle(self->rootHandle_);
}

// ---- Names ------------------------------------------------------------------------------

std::string TUpdater::FileNameFromURL(const std::string& URL) {
  std::string name = URL;
  for (char separator : {'/', '\\'})
    for (std::size_t at; (at = name.find(separator)) != std::string::npos;) name.erase(0, at + 1);
  if (OnFileNameFromURL) OnFileNameFromURL(this, URL, name);
  return name;
}

std::string TUpdater::HostFromURL(const std::string& URL) {
  std::string host = URL;
  if (auto at = host.find("://"); at != std::string::npos) host.erase(0, at + 3);
  host = host.substr(0, host.find('/'));
  return host.substr(0, host.find('\\'));
}

std::string TUpdater::AddProxyCredentials(const std::string& URL, const std::string& User,
                                          const std::string& Password) {
  if (User.empty() || URL.size() < 7) return URL;
  std::string scheme = URL.substr(0, 7);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "http://") return URL;
  return "http://" + EscapeUserInfo(User) + ":" + EscapeUserInfo(Password) + "@" + URL.substr(7);
}

// ---- Reports ------------------------------------------------------------------------------

void TUpdater::ReportFileProgress(const std::string& FileName, int Pos, int Size) {
  if (progressWindow_) {
    for (const auto& control : progressWindow_->Controls()) {
      if (control->kind == ui::ControlKind::ProgressBar) {
        control->min = 0;
        control->max = Size;
        control->position = Pos;
      } else if (control->kind == ui::ControlKind::Label) {
        control->caption = "Downloading: " + ExtractFileName(FileName);
      }
    }
    progressWindow_->Invalidate();
  }
  if (OnFileProgress) OnFileProgress(this, FileName, Pos, Size);
}

void TUpdater::QueryCancel(bool& Cancel) {
  if (OnProgressCancel) OnProgressCancel(this, Cancel);
  if (Cancel) ReportStatus(msg::kUpdaterCancelled, "", 0, 0);
}

void TUpdater::ReportFileDownloaded(const std::string& FileName) {
  if (OnFileDownloaded) OnFileDownloaded(this, FileName);
}

void TUpdater::ReportInternetError() {
  const std::uint32_t error = kernel::GetLastError();
  if (error == 0) return;
  std::string text = inet::FormatMessage(error);
  if (error == inet::ERROR_INTERNET_EXTENDED_ERROR) {
    std::uint32_t serverError = 0;
    std::string response;
    inet::InternetGetLastResponseInfo(serverError, response);
    if (response.empty()) return;
    text = response.substr(0, 1024);
  }
  ReportStatus(msg::kSystemError, text, 1, static_cast<int>(error));
  if (!OnStatus && UpdateUpdate != wuuSilent)
    ui::MessageBox(nullptr, text, "Error", ui::MB_OK | ui::MB_ICONERROR);
}

// ---- Fetching -----------------------------------------------------------------------------

namespace {

// A connection is kept for the next request only once its answer has been
// read to the end; an error page longer than a glance is not worth it.
void ReadToTheEnd(inet::HINTERNET request) {
  char buffer[4096];
  std::uint32_t read = 0;
  for (int blocks = 0; blocks < 16; ++blocks)
    if (!inet::InternetReadFile(request, buffer, sizeof buffer, read) || read == 0) return;
}

// The HTTP request with basic authentication. Returns the request handle
// (status below 300), or nothing: with gaveUp set (and why said) when a
// report was made and the fetch ends, without it when the library gave no
// handle.
inet::HINTERNET OpenHttpRequest(TUpdater& u, inet::HINTERNET connection, const std::string& url,
                                const std::string& shownURL, const std::string& extraHeaders,
                                bool& gaveUp, std::string& why) {
  gaveUp = false;
  // The caption names the host of the URL as it was passed in, never the
  // proxy credentials embedded into the requested one.
  const std::string caption = "Connect to " + TUpdater::HostFromURL(shownURL);
  if (u.Authenticate == waAlways && (u.UserID.empty() || u.Password.empty())) {
    if (!PromptCredentials(caption, u.UserID, u.Password)) {
      u.ReportStatus(msg::kAuthenticationCancelled, "", 0, 0);
      why = "the credentials were not given";
      gaveUp = true;
      return nullptr;
    }
  }
  std::uint32_t flags = inet::INTERNET_FLAG_RELOAD | inet::INTERNET_FLAG_NO_CACHE_WRITE |
                        inet::INTERNET_FLAG_PRAGMA_NOCACHE;
  if (u.HTTPKeepAliveAuthentication) flags |= inet::INTERNET_FLAG_KEEP_CONNECTION;
  if (u.ExistingConnection) flags |= inet::INTERNET_FLAG_EXISTING_CONNECT;
  std::uint32_t status = 0;
  for (;;) {
    std::string header = extraHeaders;
    if (!u.UserID.empty() || !u.Password.empty())
      header += "Authorization: Basic " + Base64Encode(u.UserID + ":" + u.Password) + "\r\n\r\n";
    inet::HINTERNET request = inet::InternetOpenUrl(connection, url, header, flags, 0);
    if (!request) return nullptr;
    inet::HttpQueryInfo(request, inet::HTTP_QUERY_STATUS_CODE | inet::HTTP_QUERY_FLAG_NUMBER,
                        status);
    if (status == 401 && u.Authenticate == waAuto) {
      if (u.HTTPKeepAliveAuthentication) ReadToTheEnd(request);
      inet::InternetCloseHandle(request);
      if (PromptCredentials(caption, u.UserID, u.Password)) continue;
      u.ReportStatus(msg::kAuthenticationCancelled, "", 0, 0);
      why = "the credentials were not given";
      gaveUp = true;
      return nullptr;
    }
    if (status >= 300) {
      inet::InternetCloseHandle(request);
      u.ReportStatus(msg::kHttpStatus, std::to_string(status), 6, static_cast<int>(status));
      why = "the server answered with HTTP status " + std::to_string(status);
      gaveUp = true;
      return nullptr;
    }
    return request;
  }
}

}  // namespace

bool TUpdater::FetchFile(inet::HINTERNET Connection, const std::string& URL,
                         const std::string& TargetFolder) {
  bool result = false;
  const std::string shownURL = URL;
  ReportStatus(msg::kDownload, shownURL, 3, 0);
  const std::string name = FileNameFromURL(URL);
  lastLocalFile_.clear();
  fetchError_.clear();

  if (UpdateType == fileUpdate) {
    // A query ("?FileTick=") belongs to no local file name, neither of the
    // source nor of the target.
    const std::string source = StripQuery(URL);
    const std::string target = TargetFolder.empty() || EndsWithSeparator(TargetFolder)
                                   ? TargetFolder + StripQuery(name)
                                   : TargetFolder;
    if (!CopyLocalFile(source, target)) {
      fetchError_ = "cannot copy " + source + " to " + target;
      return false;
    }
    lastLocalFile_ = target;
    if (!holdDownloaded_) ReportFileDownloaded(target);
    return true;
  }

  const std::string url = AddProxyCredentials(URL, ProxyUserID, ProxyPassword);
  // What an earlier fetch of the URL left is continued when the server still
  // has the same file; the query (a cache-busting "?FileTick=") changes
  // from one fetch to the next and is no part of what is fetched.
  const std::string partialFolder = TempFolderOf(*this);
  const std::string remote = StripQuery(shownURL);
  std::optional<resume::Partial> partial = resume::Find(partialFolder, remote);
  auto forgetPartial = [&] {
    if (partial) resume::Drop(partialFolder, remote);
    partial.reset();
  };
  RequestGuard request;
  std::uint64_t total = 0;
  std::string validator;
  bool resumed = false;
  if (UpdateType == httpUpdate) {
    bool gaveUp = false;
    const std::string range = partial ? "Range: bytes=" + std::to_string(partial->have) +
                                            "-\r\nIf-Range: " + partial->validator + "\r\n"
                                      : std::string();
    request.handle = OpenHttpRequest(*this, Connection, url, shownURL, range, gaveUp, fetchError_);
    if (gaveUp) {
      forgetPartial();
      return false;
    }
  } else {
    if (!FTPDirectory.empty() && !ftpDirectorySet_) {
      const std::string directory = ConvertPrefix(FTPDirectory);
      ReportStatus(msg::kChangeFtpDirectory, directory, 3, 0);
      if (!inet::FtpSetCurrentDirectory(Connection, directory))
        ReportStatus(msg::kCannotChangeFtpDirectory, directory, 3, 8);
      ftpDirectorySet_ = true;
    }
    // The server knows the file by its name; a cache-busting query is no
    // part of it.
    const std::string remoteName = StripQuery(name);
    inet::WIN32_FIND_DATA found;
    if (inet::HINTERNET search = inet::FtpFindFirstFile(
            Connection, remoteName, found,
            inet::INTERNET_FLAG_RELOAD | inet::INTERNET_FLAG_NO_CACHE_WRITE, 0)) {
      total = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
          found.ftLastWriteTime.time_since_epoch());
      if (seconds.count() > 0) validator = resume::FtpValidator(total, seconds.count());
      inet::InternetCloseHandle(search);
    }
    if (partial &&
        (validator.empty() || partial->validator != validator || partial->total != total ||
         !inet::FtpCommand(Connection, false, inet::FTP_TRANSFER_TYPE_BINARY,
                           "REST " + std::to_string(partial->have), 0, nullptr)))
      forgetPartial();
    request.handle = inet::FtpOpenFile(Connection, remoteName, inet::GENERIC_READ,
                                       inet::FTP_TRANSFER_TYPE_BINARY, 0);
    if (!request.handle && partial) {
      // A server that cannot start part-way still sends the whole file.
      forgetPartial();
      request.handle = inet::FtpOpenFile(Connection, remoteName, inet::GENERIC_READ,
                                         inet::FTP_TRANSFER_TYPE_BINARY, 0);
    }
    resumed = partial.has_value();
  }
  if (!request.handle) {
    const std::string reported = StripQuery(shownURL);
    fetchError_ = "cannot open it: " + LastErrorText();
    ReportInternetError();
    ReportStatus(msg::kRemoteFileNotFound, reported, 2, 1);
    return false;
  }

  if (UpdateType == httpUpdate) {
    std::uint32_t status = 0, length = 0;
    inet::HttpQueryInfo(request.handle, inet::HTTP_QUERY_STATUS_CODE | inet::HTTP_QUERY_FLAG_NUMBER,
                        status);
    if (inet::HttpQueryInfo(request.handle,
                            inet::HTTP_QUERY_CONTENT_LENGTH | inet::HTTP_QUERY_FLAG_NUMBER, length))
      total = length;
    if (partial && status == 206) {
      std::string range;
      inet::HttpQueryInfo(request.handle, inet::HTTP_QUERY_CONTENT_RANGE, range);
      if (!resume::ContinuesAt(range, partial->have, partial->total)) {
        forgetPartial();
        fetchError_ = "the server sent another part of it (" + range + ") than the rest asked for";
        return false;
      }
      resumed = true;
      total = partial->total;
    } else {
      // A whole answer: the file changed, or the server sends no parts.
      forgetPartial();
      if (!inet::HttpQueryInfo(request.handle, inet::HTTP_QUERY_ETAG, validator))
        inet::HttpQueryInfo(request.handle, inet::HTTP_QUERY_LAST_MODIFIED, validator);
    }
  }

  // The name comes from the URL as passed in, so a handler of
  // OnFileNameFromURL never sees proxy credentials.
  const std::string local = TargetFolder + StripQuery(FileNameFromURL(shownURL));
  std::optional<kernel::TemporaryFile> sink;
  std::uint64_t sum = 0;
  if (resumed) {
    sink = kernel::TemporaryFile::Continue(partial->data);
    if (!sink) {
      fetchError_ = "cannot continue " + partial->data + ": " + LastErrorText();
      forgetPartial();
      return false;
    }
    sum = partial->have;
  } else if (total > 0 && !validator.empty()) {
    sink = resume::Begin(partialFolder, {"", remote, validator, total, partialOwner_, 0});
  }
  const bool resumable = sink.has_value();
  if (!sink) sink = NewTemporary(TempFolderOf(*this));
  kernel::TemporaryFile& temp = *sink;

  std::vector<char> block(kDownloadBlock);
  bool cancel = cancelled_;
  bool readError = false;
  std::uint32_t read = 1;
  TemporaryWriter writer(temp.Handle());
  auto writeError = [&temp] {
    return EInOutError("Cannot write temporary file " + temp.Path() + ": " +
                       kernel::FormatMessage(kernel::GetLastError()));
  };
  while (read > 0 && !cancel) {
    ui::ProcessMessages();
    if (!inet::InternetReadFile(request.handle, block.data(), kDownloadBlock, read)) {
      readError = true;
      // A dropped connection, a body shorter than announced and a time-out
      // all end here; the library's error says which.
      fetchError_ = "the transfer broke off after " + std::to_string(sum) + " of " +
                    (total ? std::to_string(total) : std::string("an unknown number of")) +
                    " bytes: " + LastErrorText();
      break;
    }
    if (!writer.Write(block.data(), read)) throw writeError();
    sum += read;
    ReportFileProgress(local, EventInt(sum), EventInt(total));
    cancel = cancelled_;
    QueryCancel(cancel);
    if (read > 0) result = true;
  }
  if (!readError && !cancel && !writer.Flush()) throw writeError();

  request.Close();
  cancelled_ = cancel;
  if (cancel || readError) {
    if (cancel) fetchError_ = "cancelled";
    // What came is kept for the next fetch to continue.
    if (resumable && writer.Flush() && temp.Keep()) return false;
    DeleteTemporary(temp);
    if (resumable) resume::Drop(partialFolder, remote);
    return false;
  }
  std::string problem;
  if (resumable && sum != total)
    problem = "it came to " + std::to_string(sum) + " bytes, not the " + std::to_string(total) +
              " the server announced";
  else
    problem = HashProblem(temp.Path());
  if (!problem.empty()) {
    DeleteTemporary(temp);
    if (resumable) resume::Drop(partialFolder, remote);
    // The bytes kept from before may be what is wrong: once more, whole.
    if (resumed) return FetchFile(Connection, URL, TargetFolder);
    fetchError_ = problem;
    return false;
  }
  const bool placed = PutInPlace(*this, temp, local);
  if (resumable) resume::Drop(partialFolder, remote);
  if (!placed) {
    fetchError_ = "cannot put it in place as " + local;
    return false;
  }
  lastLocalFile_ = local;
  if (!holdDownloaded_) ReportFileDownloaded(local);
  return result || resumed;
}

bool TUpdater::CopyLocalFile(const std::string& Source, const std::string& Target) {
  if (Source == Target) {
    ReportStatus(msg::kEqualSourceAndTarget, Source, 10, 3);
    return false;
  }
  const kernel::FileHandle in(
      kernel::_lopen(Source, kernel::OF_READ | kernel::OF_SHARE_DENY_WRITE));
  if (!in) {
    ReportStatus(msg::kSourceNotFound, Source, 2, 1);
    return false;
  }
  const long size = kernel::_llseek(in.Get(), 0, kernel::FILE_END);
  if (size < 0) {
    ReportStatus(msg::kZeroLengthSource, Source, 10, 2);
    return false;
  }
  kernel::_llseek(in.Get(), 0, kernel::FILE_BEGIN);

  auto temp = kernel::TemporaryFile::Create(TempFolderOf(*this), "UPDT");
  if (!temp) return false;

  constexpr unsigned kFailed = static_cast<unsigned>(kernel::HFILE_ERROR);
  std::vector<char> block(kCopyBlock);
  std::uint64_t copied = 0;
  bool cancel = false;
  bool error = false;
  for (;;) {
    const unsigned read = kernel::_lread(in.Get(), block.data(), kCopyBlock);
    if (read == kFailed) {
      error = true;
      break;
    }
    const unsigned written = read ? kernel::_lwrite(temp->Handle(), block.data(), read) : 0;
    if (written == kFailed) {
      error = true;
      break;
    }
    copied += written;
    ReportFileProgress(Source, EventInt(copied), EventInt(static_cast<std::uint64_t>(size)));
    QueryCancel(cancel);
    ui::ProcessMessages();
    if (written != read) {
      error = true;
      break;
    }
    if (read == 0 || cancel) break;
  }
  cancelled_ = cancel;
  if (cancel || error) {
    DeleteTemporary(*temp);
    return false;
  }
  if (const std::string problem = HashProblem(temp->Path()); !problem.empty()) {
    fetchError_ = problem;
    DeleteTemporary(*temp);
    return false;
  }
  return PutInPlace(*this, *temp, Target);
}

void TUpdater::SweepPartials(bool listed) {
  if (partialOwner_.empty()) return;
  std::vector<std::string> keep;
  for (int i = 0; listed && i < FileList.Count(); ++i)
    keep.push_back(StripQuery(FileList.Items(i).URL));
  resume::Sweep(TempFolderOf(*this), partialOwner_, keep);
}

std::string TUpdater::HashProblem(const std::string& path) const {
  if (expectedSha256_.empty()) return {};
  const std::string hex = signature::Sha256HexOfFile(path);
  if (hex == expectedSha256_) return {};
  return "its SHA-256 is " + (hex.empty() ? std::string("unknown") : hex) + ", not the " +
         expectedSha256_ + " the control file gives";
}

std::unique_ptr<TStrings> TUpdater::FetchTextFile(const std::string& URL) {
  const bool fetched = FetchFile(connectionHandle_, URL, GetTempDir());
  auto content = TakeFetched(fetched, lastLocalFile_);
  if (!content) return nullptr;
  return std::make_unique<TStrings>(SplitLines(*content));
}

std::unique_ptr<TMemoryStream> TUpdater::FetchStreamFile(const std::string& URL) {
  const bool fetched = FetchFile(connectionHandle_, URL, GetTempDir());
  auto content = TakeFetched(fetched, lastLocalFile_);
  if (!content) return nullptr;
  return std::make_unique<TMemoryStream>(std::move(*content),
                                         std::ios::in | std::ios::out | std::ios::binary);
}
