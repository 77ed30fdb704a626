#include "tools/publisher.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "archive/cabinet.h"
#include "archive/crc32.h"
#include "platform/delta.h"
#include "platform/kernel.h"
#include "platform/lz.h"
#include "platform/signature.h"
#include "update/minisign.h"
#include "update/paths.h"
#include "update/updater.h"

namespace publisher {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes the file whole or says why not; a secret one is made readable by
// its owner alone before anything is written into it.
bool WriteWhole(const std::string& path, const std::string& text, bool secret = false) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::error_code error;
  if (out && secret)
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                    error);
  if (out && !error) out << text;
  if (out && !error && out.flush()) return true;
  if (!error) error = std::error_code(errno, std::generic_category());
  std::fprintf(stderr, "kupdate: %s: cannot write it: %s\n", path.c_str(), error.message().c_str());
  return false;
}

// URLs name the file by its relative path; what could be read as a prefix
// token, a query or an escape is escaped.
std::string UrlPath(const std::string& relative) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string url;
  for (unsigned char c : relative) {
    if (std::isalnum(c) ||
        std::string_view("-._~/").find(static_cast<char>(c)) != std::string_view::npos)
      url += static_cast<char>(c);
    else
      url += {'%', kDigits[c >> 4], kDigits[c & 15]};
  }
  return url;
}

std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

bool StartsWith(const std::string& path, std::string_view magic) {
  std::ifstream in(path, std::ios::binary);
  std::string head(magic.size(), '\0');
  return in.read(head.data(), static_cast<std::streamsize>(head.size())) && head == magic;
}

// The file a published one becomes once installed, named as the run will
// find it, and a copy of its content to measure.
struct Installed {
  std::string local;  // "localversion": {APP}\...
  std::string content;
};

// A cabinet stands for the newest file it holds (extracted into the
// entry's target folder); an LZ file for the file it expands to, which the
// run writes into its current folder, the folder of {APP}.
std::optional<Installed> InstalledFile(const fs::path& file, const std::string& relative,
                                       const std::string& subFolder, const fs::path& scratch,
                                       bool& compressed, std::string& why) {
  compressed = true;
  // A run unpacks only a cabinet named so; any other compressed file it
  // takes for an LZ file.
  std::string extension = file.extension().string();
  for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (extension == ".CAB" && StartsWith(file.string(), "MSCF")) {
    const fs::path folder = scratch / "cab";
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (ExtractCabinet(file.string(), AddBackslash(folder.string())) != 0) {
      why = archive::WhyNotExtracted(file.string(), folder.string(), kernel::GetLastError());
      return std::nullopt;
    }
    std::optional<fs::path> newest;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
      if (entry.is_regular_file() &&
          (!newest || entry.last_write_time() > fs::last_write_time(*newest) ||
           (entry.last_write_time() == fs::last_write_time(*newest) && entry.path() < *newest)))
        newest = entry.path();
    if (!newest) {
      why = "the cabinet holds no file";
      return std::nullopt;
    }
    return Installed{
        "{APP}\\" + WindowsPath(subFolder + fs::relative(*newest, folder).generic_string()),
        newest->string()};
  }
  if (StartsWith(file.string(), std::string_view("SZDD\x88\xF0\x27\x33", 8))) {
    const fs::path folder = scratch / "lz";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path copy = folder / file.filename();
    std::string expanded;
    if (!fs::copy_file(file, copy) || !ExpandLZFile(copy.string()) ||
        lz::GetExpandedName(file.string(), expanded) != 1) {
      why = "cannot be expanded";
      return std::nullopt;
    }
    const std::string name = fs::path(expanded).filename().string();
    return Installed{"{APP}\\" + name, (folder / name).string()};
  }
  compressed = false;
  return Installed{"{APP}\\" + WindowsPath(relative), file.string()};
}

std::string ControlDate(fs::file_time_type time, std::string& clock) {
  const auto system = std::chrono::file_clock::to_sys(time);
  const kernel::SystemTime local = kernel::FileTimeToLocalTime(system);
  char date[16], hours[8];
  std::snprintf(date, sizeof date, "%02d/%02d/%04d", local.day, local.month, local.year);
  std::snprintf(hours, sizeof hours, "%02d:%02d", local.hour, local.minute);
  clock = hours;
  return date;
}

struct Entry {
  TFileDescription description;  // as it must read back
  std::string text;              // its section
  std::string patchText;         // its [patchN] section; empty: no patch
  std::string patchName;         // the patch's path below the control file's folder
  std::vector<unsigned char> patch;
};

std::optional<std::vector<unsigned char>> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<unsigned char> bytes(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) return std::nullopt;
  return bytes;
}

// A patch from the same file of the previous release, when there is one
// that changed and the patch is worth its fetch. Cabinets and LZ files get
// none: what a run keeps of them is the files they unpack to, never the
// archive a patch would apply to.
bool DescribePatch(Entry& entry, const fs::path& file, const std::string& relative,
                   const std::string& local, const PublishOptions& options) {
  if (options.previous.empty() || entry.description.Compressed) return true;
  const fs::path old = fs::path(options.previous) / relative;
  std::error_code error;
  if (!fs::is_regular_file(old, error)) return true;
  const auto base = ReadBytes(old);
  const auto result = ReadBytes(file);
  if (!base || !result) {
    std::fprintf(stderr, "kupdate: %s: cannot read it\n", (base ? file : old).string().c_str());
    return false;
  }
  if (*base == *result) return true;
  auto patch = delta::MakePatch(*base, *result);
  if (!patch) {
    std::fprintf(stderr, "kupdate: %s: no patch can be made from %s\n", file.string().c_str(),
                 old.string().c_str());
    return false;
  }
  if (patch->size() >= result->size() / 2) return true;
  const auto header = delta::ReadPatchHeader(*patch);
  if (!header) return false;
  TFileDescription& d = entry.description;
  // Named after its file, in the same sub-folder: two files of one name in
  // different folders keep their patches apart.
  entry.patchName = relative + ".PAT";
  d.PatchURL = options.baseUrl + UrlPath(entry.patchName);
  d.PatchLocalVersion = local;
  d.PatchSize = static_cast<int>(patch->size());
  d.PatchSha256 = signature::Sha256Hex(
      std::string_view(reinterpret_cast<const char*>(patch->data()), patch->size()));
  d.PatchBase = header->baseSha256;
  entry.patchText = "url=" + d.PatchURL + "\nlocalversion=" + local +
                    "\nfilesize=" + std::to_string(d.PatchSize) + "\nsha256=" + d.PatchSha256 +
                    "\nbase=" + d.PatchBase + "\n";
  entry.patch = std::move(*patch);
  return true;
}

std::optional<Entry> Describe(const fs::path& file, const std::string& relative,
                              const PublishOptions& options, const fs::path& scratch) {
  const std::string subFolder =
      relative.find('/') == std::string::npos ? "" : relative.substr(0, relative.rfind('/') + 1);
  bool compressed = false;
  std::string why;
  const auto installed = InstalledFile(file, relative, subFolder, scratch, compressed, why);
  const std::string sha256 = signature::Sha256HexOfFile(file.string());
  if (!installed || sha256.empty()) {
    std::fprintf(stderr, "kupdate: %s: %s\n", file.string().c_str(),
                 installed ? "cannot be hashed" : why.c_str());
    return std::nullopt;
  }
  const std::uintmax_t size = fs::file_size(installed->content);
  if (size > 0x7FFFFFFF) {
    std::fprintf(stderr, "kupdate: %s: larger than a control file can state\n",
                 file.string().c_str());
    return std::nullopt;
  }

  Entry entry;
  TFileDescription& d = entry.description;
  d.URL = options.baseUrl + UrlPath(relative);
  d.Description = relative;
  d.Compressed = compressed;
  d.FileSize = static_cast<int>(size);
  d.Sha256 = sha256;
  const TVersionPair version = GetFileVersion(installed->content);
  std::string check = options.check;
  if (check.empty()) check = version.IsNone() ? "checksum" : "version";
  if (check == "version") {
    if (version.IsNone()) {
      std::fprintf(stderr, "kupdate: %s: has no version to check\n", file.string().c_str());
      return std::nullopt;
    }
    d.NewVersion = VersionToString(version);
  } else if (check == "checksum") {
    d.NewCheckSum = FileCRC32(installed->content);
  } else if (check == "size") {
    d.NewSize = d.FileSize;
  } else {
    d.NewDate = ControlDate(fs::last_write_time(installed->content), d.NewTime);
  }

  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "$%08X", static_cast<unsigned>(d.NewCheckSum));
  entry.text = "url=" + d.URL + "\ndescr=" + d.Description + "\ntargetdir={APP}\\" +
               WindowsPath(subFolder) + "\nlocalversion=" + installed->local +
               (compressed ? "\ncompressed=1" : "") + "\nfilesize=" + std::to_string(d.FileSize) +
               (d.NewVersion.empty() ? "" : "\nnewversion=" + d.NewVersion) +
               (d.NewCheckSum == -1 ? "" : std::string("\nnewchecksum=") + checksum) +
               (d.NewSize == 0 ? "" : "\nnewsize=" + std::to_string(d.NewSize)) +
               (d.NewDate.empty() ? "" : "\ndate=" + d.NewDate + "\ntime=" + d.NewTime) +
               "\nsha256=" + d.Sha256 + "\n";
  if (!DescribePatch(entry, file, relative, installed->local, options)) return std::nullopt;
  return entry;
}

// Reads a control file as an update run does.
class Reader : public TUpdater {
 public:
  explicit Reader(const std::string& path) : TUpdater(nullptr) { localControlFile_ = path; }
};

// What of the written file does not read back as meant; empty when all does.
std::string ReadBack(const std::string& path, const std::vector<Entry>& entries) {
  Reader reader(path);
  if (reader.ReadFileList() != static_cast<int>(entries.size()))
    return "it does not read back with " + std::to_string(entries.size()) + " files";
  for (int i = 0; i < reader.FileList.Count(); ++i) {
    const TFileDescription& read = reader.FileList.Items(i);
    const TFileDescription& meant = entries[static_cast<std::size_t>(i)].description;
    if (read.URL != meant.URL || read.Description != meant.Description ||
        read.Compressed != meant.Compressed || read.FileSize != meant.FileSize ||
        read.NewVersion != meant.NewVersion || read.NewCheckSum != meant.NewCheckSum ||
        read.NewSize != meant.NewSize || read.NewDate != meant.NewDate ||
        read.NewTime != meant.NewTime || read.Sha256 != meant.Sha256 ||
        read.PatchURL != meant.PatchURL ||
        read.PatchLocalVersion != reader.ConvertPrefix(meant.PatchLocalVersion) ||
        read.PatchSize != meant.PatchSize || read.PatchSha256 != meant.PatchSha256 ||
        read.PatchBase != meant.PatchBase)
      return "file" + std::to_string(i + 1) + " (" + meant.Description +
             ") does not read back as written";
  }
  return {};
}

// Puts the file in place over the old one in one step.
bool Replace(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (!error) return true;
  std::fprintf(stderr, "kupdate: %s: cannot replace it: %s\n", to.c_str(), error.message().c_str());
  return false;
}

std::optional<minisign::SecretKey> LoadSecretKey(const PublishOptions& options) {
  const auto text = ReadWhole(options.secretKeyFile);
  std::string why = "cannot read it";
  const auto key = text ? minisign::ParseSecretKey(*text, options.password, &why) : std::nullopt;
  if (!key) std::fprintf(stderr, "kupdate: %s: %s\n", options.secretKeyFile.c_str(), why.c_str());
  return key;
}

}  // namespace

int Keygen(const std::string& publicFile, const std::string& secretFile,
           const std::optional<std::string>& password) {
  for (const std::string& file : {publicFile, secretFile})
    if (kernel::FileExists(file)) {
      std::fprintf(stderr, "kupdate: %s: exists already; a key is never overwritten\n",
                   file.c_str());
      return 1;
    }
  const auto pair = minisign::NewKeyPair();
  if (!pair) {
    std::fprintf(stderr, "kupdate: keys cannot be made on this system\n");
    return 1;
  }
  const std::string secret = minisign::SecretKeyFile(pair->secretKey, password);
  if (secret.empty()) {
    std::fprintf(stderr, "kupdate: the memory to encrypt the key cannot be had\n");
    return 1;
  }
  if (!WriteWhole(secretFile, secret, true) ||
      !WriteWhole(publicFile, minisign::PublicKeyFile(pair->publicKey)))
    return 1;
  return 0;
}

int Publish(const PublishOptions& options) {
  if (!options.check.empty() && options.check != "version" && options.check != "checksum" &&
      options.check != "size" && options.check != "date") {
    std::fprintf(stderr, "kupdate publish: --check is version, checksum, size or date, not '%s'\n",
                 options.check.c_str());
    return 2;
  }
  if (!IsDirectory(options.source)) {
    std::fprintf(stderr, "kupdate: %s: no such folder\n", options.source.c_str());
    return 2;
  }
  std::optional<minisign::SecretKey> key;
  if (!options.secretKeyFile.empty() && !(key = LoadSecretKey(options))) return 1;

  // Every file below the source, in the order of their names; the control
  // file and its signature are left out when they are written there.
  const fs::path source = fs::absolute(options.source);
  const fs::path control = fs::absolute(options.controlFile).lexically_normal();
  std::vector<std::pair<std::string, fs::path>> files;
  for (const auto& item : fs::recursive_directory_iterator(source)) {
    const fs::path path = item.path().lexically_normal();
    if (!item.is_regular_file() || path == control ||
        path.string() == control.string() + ".minisig")
      continue;
    files.emplace_back(fs::relative(path, source).generic_string(), path);
  }
  std::sort(files.begin(), files.end());

  const fs::path scratch = fs::temp_directory_path() /
                           ("kupdate-publish-" + std::to_string(kernel::GetCurrentProcessId()));
  fs::create_directories(scratch);
  std::vector<Entry> entries;
  for (const auto& [relative, path] : files) {
    auto entry = Describe(path, relative, options, scratch);
    if (!entry) break;
    entries.push_back(std::move(*entry));
  }
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  if (entries.size() != files.size()) return 1;

  std::string text =
      "[update]\ndescr=" + fs::path(options.source).filename().string() + "\nunconditional=1\n";
  if (!options.app.empty()) {
    // The restarter applies a patch of the program itself, so the patch is
    // a component too; a listed one that was not fetched it leaves alone.
    const std::string app = fs::path(options.app).filename().string();
    std::string components = app;
    for (const Entry& entry : entries)
      if (!entry.patchName.empty() && entry.patchName == app + ".PAT")
        components += " " + entry.patchName;
    text +=
        "\n[application]\nappupdate=1\nappname=" + options.app + "\nappcomps=" + components + "\n";
  }
  text += "\n[files]\ncount=" + std::to_string(entries.size()) + "\n";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    text += "\n[file" + n + "]\n" + entries[i].text;
    if (!entries[i].patchText.empty()) text += "\n[patch" + n + "]\n" + entries[i].patchText;
  }

  const std::string written = options.controlFile + ".new";
  if (!WriteWhole(written, text)) return 1;
  if (const std::string problem = ReadBack(written, entries); !problem.empty()) {
    std::fprintf(stderr, "kupdate: %s: %s; nothing was replaced\n", options.controlFile.c_str(),
                 problem.c_str());
    fs::remove(written, ignored);
    return 1;
  }
  // The patches are in place before the control file that names them.
  const fs::path patchFolder = control.parent_path();
  for (const Entry& entry : entries) {
    if (entry.patchName.empty()) continue;
    const fs::path path = patchFolder / entry.patchName;
    fs::create_directories(path.parent_path(), ignored);
    const std::string bytes(entry.patch.begin(), entry.patch.end());
    if (!WriteWhole(path.string() + ".new", bytes) ||
        !Replace(path.string() + ".new", path.string())) {
      fs::remove(written, ignored);
      return 1;
    }
  }
  std::optional<std::string> signature;
  if (key) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    signature = minisign::SignFile(
        written, *key,
        "timestamp:" + std::to_string(now.count()) +
            "\tfile:" + fs::path(options.controlFile).filename().string() + "\thashed");
    if (!signature || !WriteWhole(written + ".minisig", *signature)) {
      fs::remove(written, ignored);
      return 1;
    }
  }
  // A reader between the two steps finds a signature that does not match,
  // and refuses: never a changed file under an old signature.
  if (!Replace(written, options.controlFile)) return 1;
  if (signature && !Replace(written + ".minisig", options.controlFile + ".minisig")) return 1;
  const auto patches = std::count_if(entries.begin(), entries.end(),
                                     [](const Entry& entry) { return !entry.patchName.empty(); });
  std::printf("%s: %zu files%s%s\n", options.controlFile.c_str(), entries.size(),
              patches ? (", " + std::to_string(patches) + " patches").c_str() : "",
              signature ? ", signed" : "");
  return 0;
}

}  // namespace publisher
