// Downloads that ended early, kept in the temporary folder to be continued
// by the next fetch of the same URL: the bytes so far in
// "UPDR<key>.partial", and what they are the start of in "UPDR<key>.inf"
// (the URL without its query, the server's validator, the full size, and
// the control file they were fetched for).
//
// The description is written before the first byte, so a program that is
// killed part-way leaves a partial file the next run can continue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/lfile.h"

namespace resume {

struct Partial {
  std::string data;       // the bytes so far
  std::string url;        // without its query
  std::string validator;  // what tells this version of the file from another
  std::uint64_t total = 0;
  std::string owner;  // the control file's URL; empty for a fetch of its own
  std::uint64_t have = 0;
};

// The partial download of url in folder, when one is there with some but
// not all of its bytes; a description without its bytes goes.
std::optional<Partial> Find(const std::string& folder, const std::string& url);

// Starts a download that can be continued: describes it and gives the empty
// file its bytes go to. Nothing when the folder cannot take it (the caller
// then downloads as if it could not be continued).
std::optional<kernel::TemporaryFile> Begin(const std::string& folder, const Partial& partial);

// Forgets the partial download of url (its bytes, when still there, too).
void Drop(const std::string& folder, const std::string& url);

// Removes the partial downloads fetched for owner whose URL is none of
// keep, and bytes that no description names.
void Sweep(const std::string& folder, const std::string& owner,
           const std::vector<std::string>& keep);

// The validator of an FTP file, which has no ETag: its size and time.
std::string FtpValidator(std::uint64_t size, std::int64_t seconds);

// True when a Content-Range answer ("bytes 100-199/200") continues a file of
// total bytes from have on.
bool ContinuesAt(const std::string& contentRange, std::uint64_t have, std::uint64_t total);

}  // namespace resume
