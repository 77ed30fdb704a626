#include "update/updlog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/kernel.h"
#include "update/paths.h"

namespace {

std::mutex logMutex;
std::string logFileName = "UPDATER.LOG";

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
  std::string path = LogFilePath();
  // Append mode keeps the lines of several writers (two components, two
  // processes) whole and in order.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) throw EInOutError("Cannot open log file " + path + ": " + std::strerror(errno));
  std::string line = text + "\r\n";
  bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  bool closed = std::fclose(file) == 0;
  if (!written || !closed) throw EInOutError("Cannot write log file " + path);
}

std::string LogTimeStamp() {
  kernel::SystemTime t = kernel::GetLocalTime();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  return buffer;
}
