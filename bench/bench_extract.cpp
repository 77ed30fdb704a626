// ExtractCabinet against "cabextract -d" on the same MSZIP cabinet of about
// 200 MiB of mixed files (incompressible binaries, text, zero-filled images
// and a couple of thousand small files in sub-folders), made with gcab.
// Both run as fresh processes, alternating, with the page cache flushed of
// dirty data before each run; the report gives the median wall times, their
// ratio and the peak resident memory of each.
//
//   bench_extract [--rounds N] [--dir FOLDER] [--keep]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/cabinet.h"
#include "bench/bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr double kTargetRatio = 1.05;
constexpr long kTargetPeakKiB = 32 * 1024;

struct Outcome {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs a program as a child and measures it alone.
Outcome Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  Outcome outcome;
  if (pid < 0) return outcome;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.peakKiB = usage.ru_maxrss;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

void WriteChunks(const fs::path& path, std::uint64_t size,
                 const std::function<void(std::vector<char>&)>& fill) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  while (size > 0) {
    fill(chunk);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    size -= n;
  }
}

// The package's files; returns their names relative to the folder.
std::vector<std::string> MakeFiles(const fs::path& folder) {
  std::mt19937_64 random(20240607);
  std::vector<std::string> names;
  auto add = [&](const std::string& name, std::uint64_t size,
                 const std::function<void(std::vector<char>&)>& fill) {
    fs::create_directories((folder / name).parent_path());
    WriteChunks(folder / name, size, fill);
    names.push_back(name);
  };
  auto binary = [&](std::vector<char>& b) {
    for (std::size_t i = 0; i < b.size(); i += 8) {
      const std::uint64_t v = random();
      std::memcpy(&b[i], &v, 8);
    }
  };
  static const char* const kWords[] = {
      "quote ", "order ", "price ", "volume ", "market ",     "client ", "update ", "server ",
      "= ",     "0.25 ",  "1024 ",  "\n",      "[section]\n", "symbol ", "trade ",  "bid ",
      "ask ",   "level ", "limit ", "stop ",   "session ",    "ticker ", "close ",  "open "};
  auto text = [&](std::vector<char>& b) {
    std::size_t i = 0;
    while (i < b.size()) {
      const char* w = kWords[random() % (sizeof kWords / sizeof *kWords)];
      for (; *w && i < b.size(); ++w) b[i++] = *w;
    }
  };
  auto zeros = [](std::vector<char>& b) { std::fill(b.begin(), b.end(), '\0'); };

  for (int i = 0; i < 20; ++i)
    add("Core/lib" + std::to_string(i) + ".dll", (8u << 20) + i * 4096u, binary);
  for (int i = 0; i < 8; ++i)
    add("Data/table" + std::to_string(i) + ".txt", (20u << 20) + i * 777u, text);
  add("Data/image.bin", 24u << 20, zeros);
  for (int i = 0; i < 2400; ++i) {
    const std::string dir = "Func/set" + std::to_string(i % 40) + "/";
    const std::uint64_t size = 1000 + random() % 20000;
    add(dir + "item" + std::to_string(i) + (i % 3 ? ".txt" : ".bin"), size,
        i % 3 ? std::function<void(std::vector<char>&)>(text) : binary);
  }
  return names;
}

// A checksum over every file's relative name and contents.
std::uint64_t TreeSum(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::uint64_t sum = 1469598103934665603ull;
  auto mix = [&](const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      sum = (sum ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
  };
  std::vector<char> buffer(1 << 20);
  for (const fs::path& file : files) {
    const std::string rel = fs::relative(file, root).string();
    mix(rel.data(), rel.size());
    std::ifstream in(file, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
      mix(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  // The measured child: extract and report through the exit status.
  if (argc == 4 && std::strcmp(argv[1], "--extract-only") == 0)
    return ExtractCabinet(argv[2], argv[3]) == 0 ? 0 : 1;

  int rounds = 5;
  std::string base = fs::temp_directory_path().string();
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--dir" && i + 1 < argc)
      base = argv[++i];
    else if (arg == "--keep")
      keep = true;
    else {
      std::fprintf(stderr, "usage: bench_extract [--rounds N] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  std::string pattern = base + "/bench-extract-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  const fs::path cabinet = work / "package.cab";
  const fs::path ours = work / "ours";
  const fs::path peer = work / "peer";
  const std::string self = fs::read_symlink("/proc/self/exe").string();

  std::printf("making the cabinet in %s ...\n", work.c_str());
  std::fflush(stdout);
  const std::vector<std::string> names = MakeFiles(work / "src");
  {
    std::vector<std::string> gcab = {"sh", "-c", "cd \"$0\" && exec gcab -c -z \"$@\"",
                                     (work / "src").string(), cabinet.string()};
    gcab.insert(gcab.end(), names.begin(), names.end());
    if (Run(gcab).status != 0) {
      std::fprintf(stderr, "gcab failed (is it installed?)\n");
      return 1;
    }
  }
  std::uint64_t rawBytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(work / "src"))
    if (e.is_regular_file()) rawBytes += e.file_size();
  const std::uint64_t sourceSum = TreeSum(work / "src");
  fs::remove_all(work / "src");
  std::printf("cabinet: %.1f MiB MSZIP, %zu files, %.1f MiB unpacked\n",
              fs::file_size(cabinet) / 1048576.0, names.size(), rawBytes / 1048576.0);

  // Both must produce the same tree before their times mean anything.
  const std::vector<std::string> oursCommand = {self, "--extract-only", cabinet.string(),
                                                ours.string() + "/"};
  const std::vector<std::string> peerCommand = {"cabextract", "-q", "-d", peer.string(),
                                                cabinet.string()};
  if (Run(oursCommand).status != 0 || Run(peerCommand).status != 0) {
    std::fprintf(stderr, "an extraction failed (is cabextract installed?)\n");
    return 1;
  }
  if (TreeSum(ours) != sourceSum || TreeSum(peer) != sourceSum) {
    std::fprintf(stderr, "the extracted files differ from the sources\n");
    return 1;
  }

  std::vector<double> ourTimes, peerTimes;
  long ourPeak = 0, peerPeak = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const bool oursNow = (round + k) % 2 == 0;  // alternate who goes first
      fs::remove_all(ours);
      fs::remove_all(peer);
      sync();
      const Outcome o = Run(oursNow ? oursCommand : peerCommand);
      if (o.status != 0) {
        std::fprintf(stderr, "%s failed in round %d\n", oursNow ? "ExtractCabinet" : "cabextract",
                     round + 1);
        return 1;
      }
      (oursNow ? ourTimes : peerTimes).push_back(o.seconds);
      long& peak = oursNow ? ourPeak : peerPeak;
      peak = std::max(peak, o.peakKiB);
      std::printf("round %d %-14s %7.3f s  peak %6ld KiB\n", round + 1,
                  oursNow ? "ExtractCabinet" : "cabextract", o.seconds, o.peakKiB);
      std::fflush(stdout);
    }
  }
  if (!keep) fs::remove_all(work);

  const double ourMedian = Median(ourTimes), peerMedian = Median(peerTimes);
  const double ratio = peerMedian > 0 ? ourMedian / peerMedian : 0;
  std::printf(
      "median ExtractCabinet %.3f s, cabextract %.3f s: ratio %.3f (target <= %.2f, %s); "
      "peak memory ExtractCabinet %ld KiB, cabextract %ld KiB (target < %ld KiB, %s)\n",
      ourMedian, peerMedian, ratio, kTargetRatio, ratio <= kTargetRatio ? "met" : "missed", ourPeak,
      peerPeak, kTargetPeakKiB, ourPeak < kTargetPeakKiB ? "met" : "missed");
  return 0;
}
