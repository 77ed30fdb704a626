// Throughput of the file checksums against zlib's crc32 in the same run:
// the per-buffer steps over a 64 MiB buffer in memory, and the whole-file
// functions over a 256 MiB page-cached file read in 4096-byte blocks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/crc32.h"

namespace {

constexpr std::size_t kBufferSize = 64u << 20;
constexpr std::size_t kFileSize = 256u << 20;

const std::vector<unsigned char>& Buffer() {
  static const std::vector<unsigned char> buffer = [] {
    std::vector<unsigned char> b(kBufferSize);
    std::mt19937_64 gen(20240601);
    for (std::size_t i = 0; i < b.size(); i += 8) {
      const std::uint64_t v = gen();
      for (int k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    return b;
  }();
  return buffer;
}

std::string g_filePath;

// Writes the test file from the buffer and reads it once so it is in the page cache.
bool MakeFile() {
  const std::string pattern =
      (std::filesystem::temp_directory_path() / "bench-checksums-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  g_filePath = name.data();
  const auto& buffer = Buffer();
  for (std::size_t written = 0; written < kFileSize;) {
    const std::size_t offset = written % buffer.size();
    const ssize_t n = ::write(fd, buffer.data() + offset, buffer.size() - offset);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
  benchmark::DoNotOptimize(FileByteSum(g_filePath));
  return true;
}

// zlib's crc32 over a file, read the same way as our file checksums.
std::uint32_t ZlibFileCRC32(const std::string& path) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  unsigned char block[4096];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got <= 0) break;
    crc = crc32(crc, block, static_cast<uInt>(got));
    if (got < static_cast<ssize_t>(sizeof block)) break;
  }
  ::close(fd);
  return static_cast<std::uint32_t>(crc);
}

void BM_CRC32Step(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(CRC32Step(kCRC32Init, b));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
void BM_ByteSumStep(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(ByteSumStep(kByteSumInit, b));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
void BM_ZlibCRC32Buffer(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(crc32(0L, Z_NULL, 0), b.data(), static_cast<uInt>(b.size())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.size()));
}
void BM_FileCRC32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(FileCRC32(g_filePath));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
void BM_FileByteSum(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(FileByteSum(g_filePath));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
void BM_ZlibCRC32File(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ZlibFileCRC32(g_filePath));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_CRC32Step)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteSumStep)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCRC32Buffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileCRC32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileByteSum)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCRC32File)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps the CPU time per iteration of every benchmark
// (the median when repetitions are asked for). CPU time, because the file
// reads are page-cache copies done by this process, and it is not inflated
// by other work on a busy machine the way wall time is.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const auto& run : reports) {
      if (run.error_occurred || run.iterations == 0) continue;
      const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = seconds;
      } else {
        auto& [sum, count] = samples_[name];
        sum += seconds;
        ++count;
      }
    }
    ConsoleReporter::ReportRuns(reports);
  }
  // Seconds per iteration, or 0 when the benchmark did not run.
  double Time(const std::string& name) const {
    if (const auto it = medians_.find(name); it != medians_.end()) return it->second;
    const auto it = samples_.find(name);
    return it == samples_.end() ? 0 : it->second.first / it->second.second;
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, std::pair<double, int>> samples_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!MakeFile()) {
    std::fprintf(stderr, "cannot write the %zu MiB test file\n", kFileSize >> 20);
    return 1;
  }
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  ::unlink(g_filePath.c_str());

  const auto ratio = [&](const char* ours, const char* zlib) {
    const double a = reporter.Time(ours), b = reporter.Time(zlib);
    return a > 0 && b > 0 ? a / b : 0.0;
  };
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "CPU time ratio ours/zlib (above 1 = slower than zlib crc32): CRC32Step %.2f, ByteSumStep "
      "%.2f, FileCRC32 %.2f, FileByteSum %.2f; peak memory %ld KiB\n",
      ratio("BM_CRC32Step", "BM_ZlibCRC32Buffer"), ratio("BM_ByteSumStep", "BM_ZlibCRC32Buffer"),
      ratio("BM_FileCRC32", "BM_ZlibCRC32File"), ratio("BM_FileByteSum", "BM_ZlibCRC32File"),
      usage.ru_maxrss);
  return 0;
}
