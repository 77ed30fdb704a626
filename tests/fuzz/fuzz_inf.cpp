// Arbitrary bytes as a restarter's ".INF" list, processed in a program
// folder that holds old files and links to a folder outside it, with the
// components a list may name waiting in the temporary folder. Nothing may be
// written through a link, nothing may appear outside the two folders, and
// every file of the program folder must be whole: its old content or the
// content of something that was installed.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/profile.h"
#include "restarter/restarter.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// An SZDD file made of literals only.
std::string Szdd(const std::string& data, char lastChar) {
  std::string out = std::string("SZDD\x88\xF0\x27\x33", 8) + 'A' + lastChar;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((data.size() >> (8 * i)) & 0xFF);
  for (std::size_t at = 0; at < data.size(); at += 8) out += '\xFF' + data.substr(at, 8);
  return out;
}

const std::string kLibrary = "new library";
const std::string kExpanded = "expanded data, new";
const std::string kNested = "[FILES]\nCOUNT=2\nFILE1=lib.so_NEW\nTARGET1={APP}\\\nFILE2=pack.cab\n";

struct Work {
  fs::path root, app, temp, canary;
  std::string cabinet;          // a real cabinet: a.txt, sub/b.txt, empty
  std::set<std::string> whole;  // every content a file of the program folder may have
};

const Work& Folders() {
  static const Work work = [] {
    Work w;
    std::string pattern =
        (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
        "/fuzz_inf-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    w.root = pattern;
    w.app = w.root / "app";
    w.temp = w.root / "temp";
    w.canary = w.root / "canary";
    w.cabinet = Read(fs::path(KESTREL_FUZZ_CORPUS) / "cabinet" / "stored-subfolder.cab");
    if (w.cabinet.empty()) abort();
    w.whole = {"old a",   "old library", "old data", kLibrary,
               kExpanded, kNested,       w.cabinet,  Szdd(kExpanded, 'n')};
    // The cabinet's entries, as it unpacks them.
    const fs::path probe = w.root / "probe";
    fs::create_directories(probe);
    Write(w.root / "probe.cab", w.cabinet);
    restarter::Restarter unpack(std::string{});
    const fs::path here = fs::current_path();
    fs::current_path(probe);
    unpack.ProcessFile("probe.cab", w.root.string() + "/", probe.string() + "/", 0);
    fs::current_path(here);
    for (const auto& entry : fs::recursive_directory_iterator(probe))
      if (entry.is_regular_file()) w.whole.insert(Read(entry.path()));
    fs::remove_all(probe);
    if (w.whole.size() < 9) abort();  // the cabinet did not unpack
    return w;
  }();
  return work;
}

// The program folder as an update finds it: old files, a file and a folder
// that are links to the canary folder outside it; the components waiting.
void Prepare(const Work& w) {
  std::error_code ec;
  for (const fs::path& folder : {w.app, w.temp, w.canary}) fs::remove_all(folder, ec);
  for (const fs::path& folder : {w.app, w.temp, w.canary}) fs::create_directories(folder);
  Write(w.canary / "victim", "precious");
  Write(w.app / "lib.so", "old library");
  Write(w.app / "a.txt", "old a");
  fs::create_symlink(w.canary / "victim", w.app / "data.bin");
  fs::create_symlink(w.canary, w.app / "sub");
  Write(w.app / "data.bi_", Szdd(kExpanded, 'n'));
  Write(w.temp / "lib.so_NEW", kLibrary);
  Write(w.temp / "pack.cab", w.cabinet);
  Write(w.temp / "nested.inf", kNested);
}

// Lists may name any folder and run programs: that is their purpose. Only
// lists that stay in the program folder and run nothing are tried, and none
// that names the linked folder as its target (a target is the list's own
// choice, followed wherever it leads).
bool StaysInside(const std::string& list) {
  const profile::ProfileText text(list);
  for (const std::string& key : text.Keys("FILES")) {
    std::string value = text.Get("FILES", key).value_or("");
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (value.find("..") != std::string::npos || value.find(':') != std::string::npos ||
        value.find("exe") != std::string::npos || value.find("pat") != std::string::npos ||
        value.find("sub") != std::string::npos || value.starts_with('/') ||
        value.starts_with('\\') || value.starts_with('~'))
      return false;
    for (std::size_t at = value.find('{'); at != std::string::npos; at = value.find('{', at + 1))
      if (value.compare(at, 5, "{app}") != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string list(reinterpret_cast<const char*>(data), size);
  if (!StaysInside(list)) return 0;
  const Work& w = Folders();
  Prepare(w);
  Write(w.temp / "list.inf", list);

  const fs::path here = fs::current_path();
  fs::current_path(w.app);
  restarter::Restarter restarter(std::string{});
  restarter.ProcessFile("list.inf", w.temp.string() + "/", w.app.string() + "/", 0);
  fs::current_path(here);

  // Nothing reached through the links, nothing beside the three folders.
  if (Read(w.canary / "victim") != "precious") abort();
  if (std::distance(fs::directory_iterator(w.canary), fs::directory_iterator()) != 1) abort();
  if (std::distance(fs::directory_iterator(w.root), fs::directory_iterator()) != 3) abort();
  for (auto it = fs::recursive_directory_iterator(w.app); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_symlink()) continue;  // a link left as it was
    if (it->is_directory()) continue;
    if (!w.whole.count(Read(it->path()))) abort();  // cut short, or written half
  }
  return 0;
}
