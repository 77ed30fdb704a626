// kupdate: the command-line front end of the update engine for publishers
// and administrators.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "platform/kernel.h"
#include "update/paths.h"

namespace {

int Usage() {
  std::fputs(
      "usage: kupdate checksum FILE...\n"
      "  Prints, per file: the path, size=, crc32=$ and bytesum=$ as a control\n"
      "  file states them, and version= (empty when the file has none).\n",
      stderr);
  return 2;
}

// The values a publisher writes into a control file for each file.
int Checksum(const std::vector<std::string>& files) {
  int status = 0;
  for (const std::string& file : files) {
    auto size = kernel::GetFileSize(file);
    if (!size || !kernel::FileExists(file)) {
      std::fprintf(stderr, "kupdate: %s: %s\n", file.c_str(),
                   kernel::FormatMessage(kernel::GetLastError()).c_str());
      status = 1;
      continue;
    }
    TVersionPair version = GetFileVersion(file);
    std::printf("%s\tsize=%llu\tcrc32=$%08X\tbytesum=$%08X\tversion=%s\n", file.c_str(),
                static_cast<unsigned long long>(*size),
                static_cast<unsigned>(FileCRC32(file)), static_cast<unsigned>(FileByteSum(file)),
                version.IsNone() ? "" : VersionToString(version).c_str());
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "checksum" && !args.empty()) return Checksum(args);
  return Usage();
}
