// The update log: one plain-text file shared by every component of the
// process, opened and closed for every line.
#pragma once

#include <stdexcept>
#include <string>

// An input/output error on a local file; reaches the caller of the
// operation that was writing.
class EInOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The process-wide log file name (set by every component's LogFileName).
void SetLogFileName(const std::string& name);
std::string GetLogFileName();
// Where the name resolves to: a name with a folder, drive or separator is
// used as it is; a bare name goes to the documents folder (or the current
// folder when there is none).
std::string LogFilePath();
// Appends Text and a CR LF to the log file. A line that cannot be written
// is lost: the first such loss of the process is said on stderr, and the
// caller never learns of it.
void WriteLogLine(const std::string& text);
// "dd/mm/yyyy hh:nn:ss" of the current local time.
std::string LogTimeStamp();
