// A delta update against the full-file update of the same release, and the
// patcher's apply time against copying the new file with "cp", alternating
// in one run. The release is a 64 MiB pseudo-random program of which 4 MiB
// changed, published with "kupdate publish --previous" and served by the
// loopback test server; each update is one "kupdate run" over an installed
// copy of the older release, the full-file one with ApplyPatch=False. The
// bytes moved are those of the files the server was asked for.
//
// usage: bench_delta [ROUNDS]   (default 5)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

constexpr std::size_t kFileSize = 64u << 20, kChanged = 4u << 20;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Runs a program to its end; its wall time in seconds, or -1 when it failed.
double Timed(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  const pid_t pid = SpawnProgram(argv, -1, true);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The bytes of the files the server was asked for since the log's offset.
std::uintmax_t BytesServed(const std::string& log, std::size_t& offset, const std::string& root) {
  const std::string text = Read(log);
  std::uintmax_t sum = 0;
  for (std::size_t at = offset; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    const std::size_t path = line.find('\t') + 2;  // past the method and the '/'
    const std::string name = line.substr(path, line.find_first_of("?\t", path) - path);
    std::error_code missing;
    if (const auto size = fs::file_size(root + name, missing); !missing) sum += size;
  }
  offset = text.size();
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string folder = (fs::temp_directory_path() / "bench-delta-XXXXXX").string();
  if (!mkdtemp(folder.data())) return 1;
  folder += "/";
  const std::string bin = KESTREL_BIN_DIR "/";
  for (const char* sub : {"old", "new", "www", "app", "apply"})
    fs::create_directories(folder + sub);

  std::string old(kFileSize, '\0');
  std::uint64_t x = 88172645463325252ull;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<char>(x);
  };
  for (char& c : old) c = next();
  std::string changed = old;
  for (std::size_t i = 0; i < kChanged; ++i) changed[kFileSize / 3 + i] = next();
  if (!Write(folder + "old/client.exe", old) || !Write(folder + "new/client.exe", changed) ||
      !Write(folder + "www/client.exe", changed)) {
    std::fprintf(stderr, "cannot write the releases in %s\n", folder.c_str());
    return 1;
  }

  pid_t server = -1;
  int port = 0;
  const std::string log = folder + "http.log";
  if (!StartTestServer(folder + "www/", log, server, port)) {
    std::fprintf(stderr, "the loopback server did not start\n");
    return 1;
  }
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
  const double published = Timed({bin + "kupdate", "publish", "--previous", folder + "old",
                                  folder + "new", base, folder + "www/Kestrel.txt"});
  const std::string patch = folder + "www/client.exe.PAT";
  bool ok = published >= 0 && fs::exists(patch);

  std::vector<double> deltaTimes, fullTimes, applyTimes, copyTimes;
  std::uintmax_t deltaBytes = 0, fullBytes = 0;
  std::size_t offset = 0;
  for (int round = 0; round < rounds + 1 && ok; ++round) {
    // Round 0 warms the page cache; it is not counted.
    double times[2];
    std::uintmax_t bytes[2];
    for (int full = 0; full < 2 && ok; ++full) {
      ok = Write(folder + "app/client.exe", old);
      BytesServed(log, offset, folder + "www/");
      std::vector<std::string> run = {bin + "kupdate", "run", "--yes", "--dir", folder + "app"};
      if (full) run.insert(run.end(), {"--set", "ApplyPatch=False"});
      run.push_back(base + "Kestrel.txt");
      times[full] = Timed(run);
      bytes[full] = BytesServed(log, offset, folder + "www/");
      ok = ok && times[full] >= 0 && Read(folder + "app/client.exe") == changed;
    }
    ok = ok && Write(folder + "apply/client.exe", old);
    const double apply = Timed({bin + "patcher.exe", patch, folder + "apply/client.exe"});
    const double copy = Timed({"cp", folder + "new/client.exe", folder + "apply/copy.exe"});
    ok = ok && apply >= 0 && copy >= 0 && Read(folder + "apply/client.exe") == changed;
    if (round > 0 && ok) {
      deltaTimes.push_back(times[0]);
      fullTimes.push_back(times[1]);
      applyTimes.push_back(apply);
      copyTimes.push_back(copy);
      deltaBytes = bytes[0];
      fullBytes = bytes[1];
      std::printf("round %d: delta update %.3f s, full update %.3f s; patcher %.3f s, cp %.3f s\n",
                  round, times[0], times[1], apply, copy);
    }
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fs::remove_all(folder);
  if (!ok) {
    std::fprintf(stderr, "an update, the patch or the copy failed\n");
    return 1;
  }
  const double delta = Median(deltaTimes), full = Median(fullTimes);
  const double apply = Median(applyTimes), copy = Median(copyTimes);
  std::printf("median of %d rounds, %zu MiB program with %zu MiB changed, over loopback:\n", rounds,
              kFileSize >> 20, kChanged >> 20);
  std::printf("  publish --previous (once): %.3f s\n", published);
  std::printf(
      "  bytes moved: delta update %ju, full update %ju, ratio %.4f (target: at most 0.1)\n",
      deltaBytes, fullBytes, static_cast<double>(deltaBytes) / fullBytes);
  std::printf("  kupdate run: delta update %.3f s, full update %.3f s, ratio %.2f\n", delta, full,
              delta / full);
  std::printf("  patcher %.3f s, cp of the new file %.3f s, ratio %.2f\n", apply, copy,
              apply / copy);
  return 0;
}
