// FetchFile of a 256 MiB file from a loopback HTTP server against "curl -o"
// of the same URL, alternating in one run, and the peak memory of FetchFile.
// The server (tests/servers/http_server.py) sends the file with sendfile,
// so the clients, not the server, set the pace.
//
// usage: bench_download [ROUNDS]   (default 5)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "update/updater.h"

namespace {

constexpr std::size_t kFileSize = 256u << 20;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool MakeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::vector<char> block(1 << 20);
  std::uint64_t x = 88172645463325252ull;
  for (std::size_t written = 0; written < kFileSize; written += block.size()) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x);
    }
    if (std::fwrite(block.data(), 1, block.size(), file) != block.size()) {
      std::fclose(file);
      return false;
    }
  }
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string folder = (fs::temp_directory_path() / "bench-download-XXXXXX").string();
  if (!mkdtemp(folder.data())) return 1;
  const std::string www = folder + "/www/";
  const std::string out = folder + "/out/";
  fs::create_directories(www);
  fs::create_directories(out);
  if (!MakeFile(www + "big.bin")) {
    std::fprintf(stderr, "cannot write the test file in %s\n", www.c_str());
    return 1;
  }
  pid_t server = -1;
  int port = 0;
  if (!StartTestServer(www, folder + "/http.log", server, port)) {
    std::fprintf(stderr, "the loopback server did not start\n");
    return 1;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";
  // Temporary and target file on one file system: the move is a rename.
  SetUpdateTempDir(folder + "/");

  TUpdater updater(nullptr);
  updater.UpdateUpdate = wuuSilent;
  if (updater.OpenConnection() != 0) return 1;

  std::vector<double> ours, curls;
  bool ok = true;
  for (int round = 0; round < rounds + 1 && ok; ++round) {
    // Round 0 warms the page cache and the connection; it is not counted.
    const auto start = Clock::now();
    ok = updater.FetchFile(updater.ConnectionHandle(), url, out);
    const double oursSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ok = ok && fs::file_size(out + "big.bin") == kFileSize;
    fs::remove(out + "big.bin");

    const auto curlStart = Clock::now();
    const pid_t curl = SpawnProgram({"curl", "-s", "-o", out + "curl.bin", url});
    int status = 0;
    ok = ok && curl > 0 && waitpid(curl, &status, 0) == curl && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
    const double curlSeconds = std::chrono::duration<double>(Clock::now() - curlStart).count();
    ok = ok && fs::file_size(out + "curl.bin") == kFileSize;
    fs::remove(out + "curl.bin");
    if (round > 0) {
      ours.push_back(oursSeconds);
      curls.push_back(curlSeconds);
      std::printf("round %d: FetchFile %.3f s, curl -o %.3f s\n", round, oursSeconds, curlSeconds);
    }
  }
  updater.CloseConnection();

  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fs::remove_all(folder);
  if (!ok) {
    std::fprintf(stderr, "a download failed\n");
    return 1;
  }
  const double oursMedian = Median(ours), curlMedian = Median(curls);
  std::printf("median of %d rounds, 256 MiB over loopback:\n", rounds);
  std::printf("  FetchFile %.3f s (%.0f MiB/s), curl -o %.3f s (%.0f MiB/s)\n", oursMedian,
              256 / oursMedian, curlMedian, 256 / curlMedian);
  std::printf("  time ratio FetchFile / curl: %.2f (target: at most 1.25)\n",
              oursMedian / curlMedian);
  // (A spawned child's peak counts the parent's pages from before its exec,
  // so curl's own peak cannot be told from here.)
  std::printf("  peak memory of this process: %.1f MiB (target: under 32 MiB)\n",
              self.ru_maxrss / 1024.0);
  return 0;
}
