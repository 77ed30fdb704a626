// What the start program's windows share: the string splitter, the two
// message sets, the update servers and their key, and the launcher's registry values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TComponent;
class TUpdater;

namespace launcher {

// Splits text at every occurrence of the delimiter. Without an occurrence
// the whole text is the one element, untrimmed; otherwise every piece
// before an occurrence is an element (trimmed when asked, empty ones kept)
// and the rest after the last one only when it is not empty after trimming.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter,
                                     bool trim);

// The texts of one language.
struct TMessageSet {
  std::string FileCountCaption;
  std::string ReceivedFilesCaption;
  std::string MsgNoInternet;
  std::string MsgCannotConnect;
  std::string MsgFileMissing;
  std::string MsgDialPrompt;
  std::string MsgSetTimeFailed;
  std::string MsgSetProxyFailed;
  // The four caption labels of the main window.
  std::string TotalFileSize;
  std::string CurrentFileSize;
  std::string CurrentFileName;
  std::string CurrentUpdateStatus;
};
const TMessageSet& EnglishMessages();
const TMessageSet& ChineseMessages();
// English only where the OEM code page is 936; Chinese everywhere else.
const TMessageSet& MessageSetFor(unsigned oemCodePage);

// Shown by the main window and the self-update frame alike.
extern std::string MsgCannotConnect;

// The update servers' base URLs as the program was built with them.
const char* PrimaryServerURL();
const char* SecondaryServerURL();
// The public key both control files must be signed with (the Base64 line
// of the publisher's ".pub" file, the build setting KESTREL_UPDATE_KEY);
// empty: they are taken unsigned.
const char* UpdatePublicKey();
// Gives an updater this program's key and, with one, remembers under the
// program's own key when each control file was signed, so an older one is
// refused later (the other last-update records stay off).
void UseUpdateKey(TUpdater& updater);
// Lets an updater apply the patches its control files offer, with the
// patcher this program carries, run without windows of its own. The
// window settings are a component of the owner's.
void UsePatcher(TUpdater& updater, TComponent& owner);
// Index 1 is the secondary server; every other index the primary one.
std::string GetServerBaseURL(std::uint8_t index);
// From 0 to 1 (answers true: a secondary attempt may follow); from any
// other value to 2 (answers false).
bool NextServer(std::uint8_t& index);

// The launcher's values under the current user. Writes create the key and
// are skipped silently when it cannot be opened; reads fall back to the
// default when the key or the value is missing. A value of the other type
// is an error (ERegistryType), as the platform's typed reads report it.
inline constexpr const char* RegistryKey = "\\software\\Tessark\\TWKestrel";

// The exit status of a start that ends on a failure (it did not start the
// client); a start that started the client, gave way to a running copy or
// restarts itself ends with 0.
inline constexpr int kExitFailure = 1;
void WriteInteger(const std::string& name, std::uint32_t value);
void WriteString(const std::string& name, const std::string& value);
std::uint32_t ReadInteger(const std::string& name, std::uint32_t byDefault);
std::string ReadString(const std::string& name, const std::string& byDefault);

// The tick query that defeats caches: "?<name>=<tick count>".
std::string TickQuery(const std::string& name);
// True when the file's extension is exactly ".txt" (letter case counts):
// progress reports of the control files are not shown.
bool IsTextFile(const std::string& fileName);
// The program's folder with a trailing separator.
std::string ProgramFolder();
// Where the packages are downloaded to and kept: "Cab" in the program
// folder.
std::string CabFolder();

}  // namespace launcher
