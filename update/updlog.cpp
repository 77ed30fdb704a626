#include "update/updlog.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/kernel.h"
#include "update/paths.h"

namespace {

std::mutex logMutex;
std::string logFileName = "UPDATER.LOG";
std::atomic<bool> logProblemTold{false};

}  // namespace

void SetLogFileName(const std::string& name) {
  std::lock_guard lock(logMutex);
  logFileName = name;
}

std::string GetLogFileName() {
  std::lock_guard lock(logMutex);
  return logFileName;
}

std::string LogFilePath() {
  std::string name = GetLogFileName();
  if (name.find_first_of("\\/:") != std::string::npos) return kernel::NativePath(name);
  std::string documents = GetPersonalFolder();
  return documents.empty() ? name : AddBackslash(documents) + name;
}

void WriteLogLine(const std::string& text) {
  const std::string path = kernel::ResolveLetterCase(LogFilePath());
  // Append mode keeps the lines of several writers (two components, two
  // processes) whole and in order.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  std::string problem;
  if (!file) {
    problem = "Cannot open log file " + path + ": " + std::strerror(errno);
  } else {
    const std::string line = text + "\r\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    if (std::fclose(file) != 0 || !written) problem = "Cannot write log file " + path;
  }
  // The log only records the run: a line that cannot be kept must not end
  // the run or change its outcome. The user hears of it once.
  if (!problem.empty() && !logProblemTold.exchange(true))
    std::fprintf(stderr, "%s\n", problem.c_str());
}

std::string LogTimeStamp() {
  kernel::SystemTime t = kernel::GetLocalTime();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  return buffer;
}
