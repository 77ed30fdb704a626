// The publisher's side of kupdate: key pairs for signed updates, and a
// control file written for a whole folder of files.
#pragma once

#include <optional>
#include <string>

namespace publisher {

// Writes a key pair in the signing tool's file formats, the secret key
// encrypted when a password is given. Refuses to overwrite either file.
// The exit status: 0 written, 1 not (said on stderr).
int Keygen(const std::string& publicFile, const std::string& secretFile,
           const std::optional<std::string>& password);

struct PublishOptions {
  std::string source;   // the folder whose files are published
  std::string baseUrl;  // where the files of that folder will be served from
  std::string controlFile;
  std::string secretKeyFile;  // empty: no signature
  std::optional<std::string> password;
  std::string check;  // "version", "checksum", "size", "date"; empty: version, else checksum
  std::string app;    // the program the update replaces while it runs; empty: none
  // The folder of the release before this one; empty: no patches. A file
  // that changed since gets a patch from its older self when that is less
  // than half its size.
  std::string previous;
};

// Writes the control file (and its signature), replacing them only once
// the new control file has been read back as written. The exit status: 0
// written, 1 failed, 2 a wrong option (said on stderr).
int Publish(const PublishOptions& options);

}  // namespace publisher
