// Arbitrary bytes as a cabinet for ExtractCabinet, into a folder that
// already holds old files and links: it must fail or succeed cleanly, never
// crash or hang, never write outside its target folder or through a link,
// and leave every old file either as it was or replaced by a whole entry.
// The header reader behind the size check gets the same bytes directly.
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "archive/cabheaders.h"
#include "archive/cabinet.h"

namespace {

namespace fs = std::filesystem;

const std::string kOldContent = "old content\n";
const std::string kCanaryContent = "canary\n";
// Old files under names the seed cabinets use.
const char* const kOldFiles[] = {"a.txt", "b.txt", "good.txt", "sub/b.txt"};
// A file link and a folder link under entry names of the seeds, both
// leading into the canary folder beside the target.
const char kFileLink[] = "empty";
const char kFolderLink[] = "lzx";

const std::string& WorkFolder() {
  static const std::string folder = [] {
    std::string pattern =
        (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
        "/fuzz_cabinet-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    fs::create_directories(pattern + "/canary");
    std::ofstream(pattern + "/canary/victim", std::ios::binary) << kCanaryContent;
    return pattern;
  }();
  return folder;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Plant(const std::string& target) {
  fs::remove_all(target);
  fs::create_directories(target + "sub");
  for (const char* name : kOldFiles) std::ofstream(target + name, std::ios::binary) << kOldContent;
  fs::create_symlink(WorkFolder() + "/canary/victim", target + kFileLink);
  fs::create_symlink(WorkFolder() + "/canary", target + kFolderLink);
}

// The entries' paths below the target with their declared sizes.
std::multimap<fs::path, std::int64_t> DeclaredEntries(const std::string& cabinet) {
  std::multimap<fs::path, std::int64_t> entries;
  archive::ListCabinet(cabinet, [&](const std::string& name, std::int32_t size) {
    std::string native = name;
    for (char& c : native)
      if (c == '\\') c = '/';
    entries.emplace(fs::path(native).lexically_normal(), size);
  });
  return entries;
}

// Entry names find existing files whatever their case, as on Windows.
bool IsWholeEntry(const std::multimap<fs::path, std::int64_t>& entries, const fs::path& name,
                  std::uintmax_t size) {
  const auto folded = [](const fs::path& path) {
    std::string text = path.string();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (const auto& [entry, declared] : entries)
    if (folded(entry) == folded(name) && static_cast<std::uintmax_t>(declared) == size) return true;
  return false;
}

void CheckOutcome(const std::string& cabinet, const std::string& target) {
  // Nothing appears beside the target folder, nothing in the canary folder
  // changes.
  std::set<std::string> beside;
  for (const auto& entry : fs::directory_iterator(WorkFolder()))
    beside.insert(entry.path().filename().string());
  if (beside != std::set<std::string>{"input.cab", "out", "canary"}) abort();
  int canaries = 0;
  for (const auto& entry : fs::directory_iterator(WorkFolder() + "/canary")) {
    if (entry.path().filename() != "victim" || ReadAll(entry.path()) != kCanaryContent) abort();
    ++canaries;
  }
  if (canaries != 1) abort();
  // A folder link is never replaced: the entries into it are refused.
  if (!fs::is_symlink(target + kFolderLink)) abort();

  const auto entries = DeclaredEntries(cabinet);
  for (const char* name : kOldFiles) {
    const fs::path path = target + name;
    if (fs::is_symlink(path) || !fs::is_regular_file(path)) abort();
    if (ReadAll(path) != kOldContent && !IsWholeEntry(entries, name, fs::file_size(path))) abort();
  }
  // No temporary outlives the extraction.
  for (const auto& entry : fs::recursive_directory_iterator(target)) {
    const fs::path name = entry.path().lexically_relative(target);
    if (fs::is_regular_file(entry.symlink_status()) && name.string().ends_with(".partial") &&
        !entries.count(name))
      abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  archive::FoldersUncompressedSize(
      [&](std::uint64_t offset, void* buffer, std::size_t count) {
        if (offset > size || count > size - offset) return false;
        if (count) std::memcpy(buffer, data + offset, count);
        return true;
      },
      size);

  const std::string cabinet = WorkFolder() + "/input.cab";
  const std::string target = WorkFolder() + "/out/";
  {
    std::ofstream out(cabinet, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  Plant(target);
  ExtractCabinet(cabinet, target);
  CheckOutcome(cabinet, target);
  return 0;
}
