// patcher.exe: turns a file into its next release with a patch.
//
//   patcher [-v] PATCHFILE LOCALFILE [>> LOGFILE]
//
// Exit code 0 when LOCALFILE holds the patch's result afterwards. On any
// refusal or failure LOCALFILE is left as it was: the result is written
// beside it and put in place in one rename. The engine starts it with no
// shell, so an output redirection on its command line is done here.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/delta.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/signature.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A program that is closing keeps its file locked for a moment after it
// ended (Windows); about five seconds in all.
constexpr int kReplaceAttempts = 20;
constexpr auto kFirstReplacePause = std::chrono::milliseconds(50);
constexpr auto kLongestReplacePause = std::chrono::milliseconds(250);

class Output {
 public:
  explicit Output(const std::string& logFile) {
    if (!logFile.empty())
      log_.open(kernel::ResolveLetterCase(logFile), std::ios::app | std::ios::binary);
  }
  void Line(const std::string& text) {
    if (log_.is_open())
      log_ << "patcher: " << text << "\r\n" << std::flush;
    else
      std::fprintf(stderr, "patcher: %s\n", text.c_str());
  }

 private:
  std::ofstream log_;
};

std::optional<Bytes> ReadAll(const std::string& path) {
  const std::optional<std::uint64_t> size = kernel::GetFileSize(path);
  if (!size || *size > delta::kMaxFileSize) return std::nullopt;
  std::ifstream in(kernel::ResolveLetterCase(path), std::ios::binary);
  Bytes bytes(static_cast<std::size_t>(*size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    return std::nullopt;
  return bytes;
}

bool WriteAll(kernel::HFILE file, const Bytes& bytes) {
  constexpr std::size_t kBlock = 1 << 20;
  for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
    const auto n = static_cast<unsigned>(std::min(kBlock, bytes.size() - at));
    if (kernel::_lwrite(file, bytes.data() + at, n) != n) return false;
  }
  return true;
}

bool StillInUse(std::uint32_t error) {
  return error == kernel::ERROR_SHARING_VIOLATION || error == kernel::ERROR_ACCESS_DENIED;
}

std::string Sha256(const Bytes& bytes) {
  return signature::Sha256Hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

int Patch(const std::string& patchFile, const std::string& localFile, bool verbose, Output& out) {
  const std::optional<Bytes> patch = ReadAll(patchFile);
  if (!patch) {
    out.Line("cannot read the patch " + patchFile);
    return 1;
  }
  const std::optional<Bytes> local = ReadAll(localFile);
  if (!local) {
    out.Line("cannot read the file to patch " + localFile);
    return 1;
  }
  if (verbose) out.Line("applying " + patchFile + " to " + localFile);
  Bytes result;
  switch (delta::ApplyPatch(*local, *patch, result)) {
    case delta::ApplyResult::Applied:
      break;
    case delta::ApplyResult::NotAPatch:
      out.Line(patchFile + " is not a patch");
      return 1;
    case delta::ApplyResult::WrongBase:
      // A run that was cut off after the rename is finished already.
      if (Sha256(*local) == delta::ReadPatchHeader(*patch)->resultSha256) {
        if (verbose) out.Line(localFile + " is already the patched file");
        return 0;
      }
      out.Line(localFile + " is not the file this patch was made for");
      return 1;
    case delta::ApplyResult::Corrupt:
      out.Line(patchFile + " is damaged: it does not make the file it was made for");
      return 1;
  }

  std::optional<kernel::TemporaryFile> temporary = kernel::TemporaryFile::Beside(localFile);
  if (!temporary || !WriteAll(temporary->Handle(), result)) {
    out.Line("cannot write beside " + localFile + ": " +
             kernel::FormatMessage(kernel::GetLastError()));
    return 1;
  }
  // The new release of a program stays runnable by whoever could run the old.
  std::error_code ec;
  const auto permissions =
      std::filesystem::status(kernel::ResolveLetterCase(localFile), ec).permissions();
  if (!ec) std::filesystem::permissions(temporary->Path(), permissions, ec);
  auto pause = kFirstReplacePause;
  for (int attempt = 1;; ++attempt) {
    if (temporary->MoveTo(localFile)) break;
    const std::uint32_t error = kernel::GetLastError();
    if (!StillInUse(error) || attempt == kReplaceAttempts) {
      out.Line("cannot replace " + localFile + ": " + kernel::FormatMessage(error));
      return 1;
    }
    if (verbose) out.Line(localFile + " is in use, retrying");
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestReplacePause);
  }
  if (verbose) out.Line("patched " + localFile + " (" + std::to_string(result.size()) + " bytes)");
  return 0;
}

}  // namespace

int main() {
  // "NAME>> LOG", "NAME >>LOG" and "NAME >> LOG" all redirect: the engine
  // writes the first.
  std::vector<std::string> args;
  std::string logFile;
  bool redirect = false;
  for (const std::string& arg : kernel::CommandLineArgs()) {
    if (redirect) {
      if (logFile.empty()) logFile = arg;
      continue;
    }
    const std::size_t at = arg.find(">>");
    if (at == std::string::npos) {
      args.push_back(arg);
      continue;
    }
    if (at > 0) args.push_back(arg.substr(0, at));
    logFile = arg.substr(at + 2);
    redirect = true;
  }
  Output out(logFile);
  const bool verbose = !args.empty() && args.front() == "-v";
  if (verbose) args.erase(args.begin());
  if (args.size() != 2) {
    out.Line("usage: patcher [-v] PATCHFILE LOCALFILE [>> LOGFILE]");
    return 2;
  }
  return Patch(args[0], args[1], verbose, out);
}
