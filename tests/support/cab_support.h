// Cabinets for the tests: made at test time with gcab from files the test
// writes, plus the hand-made hostile ones kept under data/cab.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/servers.h"

namespace cab_support {

inline std::string DataCabinet(const std::string& name) {
  return std::string(KESTREL_TEST_DATA) + "/cab/" + name;
}

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Packs the files (paths relative to the folder, which become the entry
// names with "\" separators) into a new cabinet, stored or MSZIP.
inline void MakeCabinet(const std::string& cabinet, const std::string& folder,
                        const std::vector<std::string>& files, bool mszip) {
  const std::string target = std::filesystem::absolute(cabinet).string();
  std::string command =
      "cd " + Quote(folder) + " && gcab -c " + (mszip ? "-z " : "") + Quote(target);
  for (const std::string& file : files) command += " " + Quote(file);
  command += " >/dev/null 2>&1";
  ASSERT_EQ(testing_support::RunShell(command), 0) << command << " (is gcab installed?)";
}

// Bytes that differ from block to block and compress a little.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>((i % 64 < 48) ? 'a' + (x >> 16) % 8 : (x >> 16) & 0xFF);
  }
  return out;
}

inline std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

inline void SetMtime(const std::string& path, std::time_t when) {
  utimbuf times{when, when};
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

inline std::time_t Mtime(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_mtime;
}

inline bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Clears the stored DOS date and time of one entry; the cabinet carries no
// checksum over its file entries, so it stays valid.
inline void ZeroEntryDateTime(const std::string& cabinet, const std::string& entry) {
  std::ifstream in(cabinet, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::size_t at = bytes.find(entry + std::string(1, '\0'));
  ASSERT_NE(at, std::string::npos) << entry;
  ASSERT_GE(at, 6u);
  for (std::size_t i = at - 6; i < at - 2; ++i) bytes[i] = '\0';
  std::ofstream out(cabinet, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace cab_support
