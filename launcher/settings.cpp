#include "launcher/settings.h"

#include <stdexcept>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "update/paths.h"
#include "update/updater.h"

namespace launcher {
namespace {

std::string Trimmed(const std::string& text) {
  return std::string(TrimAscii(text));
}

void WriteValue(const std::string& name, const registry::Value& value) {
  if (auto key = registry::Key::Create(registry::Hive::CurrentUser, RegistryKey))
    key->Set(name, value);
}

template <typename T>
T ReadValue(const std::string& name, const T& byDefault) {
  auto key = registry::Key::Open(registry::Hive::CurrentUser, RegistryKey);
  if (!key) return byDefault;
  auto value = key->Query(name);
  if (!value) return byDefault;
  if (const T* typed = std::get_if<T>(&*value)) return *typed;
  throw std::runtime_error("Invalid data type for '" + name + "'");
}

}  // namespace

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter,
                                     bool trim) {
  if (delimiter.empty() || text.find(delimiter) == std::string::npos) return {text};
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(delimiter, start)) != std::string::npos;
       start = at + delimiter.size()) {
    std::string piece = text.substr(start, at - start);
    pieces.push_back(trim ? Trimmed(piece) : piece);
  }
  std::string rest = text.substr(start);
  if (!Trimmed(rest).empty()) pieces.push_back(trim ? Trimmed(rest) : rest);
  return pieces;
}

const TMessageSet& EnglishMessages() {
  static const TMessageSet set{
      "File Count",
      "Received Files",
      "Program is terminated because it does not connect to internet!",
      "Can't connect UpdateServer. It will be terminated!",
      " doesn't exist. It will be terminated!",
      "Cannot connect to Internet! Does it start the Default-Dial of System?",
      "Set the time of file unsuccessfully!",
      "Set Proxy Failed!",
      "Total File Size",
      "Current File Size",
      "Current File Name",
      "Current Update Status",
  };
  return set;
}

const TMessageSet& ChineseMessages() {
  static const TMessageSet set{
      "總檔案數量",
      "已接收的檔案",
      "因為無法連上網際網路,程式即將關閉!",
      "連線下載伺服器失敗,程式即將關閉!",
      " 無法啟動,程式即將關閉!",
      "無法連上網路!是否啟動預設撥接?",
      "設定檔案時間失敗!",
      "設定Proxy失敗!",
      "總檔案大小",
      "目前檔案大小",
      "目前檔案名稱",
      "目前更新狀況",
  };
  return set;
}

const TMessageSet& MessageSetFor(unsigned oemCodePage) {
  return oemCodePage == 936 ? EnglishMessages() : ChineseMessages();
}

std::string MsgCannotConnect;

void UseUpdateKey(TUpdater& updater) {
  updater.PublicKey = UpdatePublicKey();
  if (updater.PublicKey.empty()) return;
  updater.LastURLEntry.RegRoot = lurLOCALUSER;
  updater.LastURLEntry.Key = RegistryKey;
  updater.LastURLEntry.Section = "Signatures";
}

void UsePatcher(TUpdater& updater, TComponent& owner) {
  updater.SetUtility(new TUpdaterUtility(&owner));
  // Only for the files of a control file that offers patches: with
  // ApplyPatch set, every run writes the patcher into the program's folder.
  updater.OnGetFileList = [](TUpdater* sender, TStrings&) {
    sender->ApplyPatch = sender->FileList.HasPatches();
  };
}

std::string GetServerBaseURL(std::uint8_t index) {
  return index == 1 ? SecondaryServerURL() : PrimaryServerURL();
}

bool NextServer(std::uint8_t& index) {
  if (index == 0) {
    index = 1;
    return true;
  }
  index = 2;
  return false;
}

void WriteInteger(const std::string& name, std::uint32_t value) {
  WriteValue(name, value);
}

void WriteString(const std::string& name, const std::string& value) {
  WriteValue(name, value);
}

std::uint32_t ReadInteger(const std::string& name, std::uint32_t byDefault) {
  return ReadValue(name, byDefault);
}

std::string ReadString(const std::string& name, const std::string& byDefault) {
  return ReadValue(name, byDefault);
}

std::string TickQuery(const std::string& name) {
  return "?" + name + "=" + std::to_string(kernel::GetTickCount());
}

bool IsTextFile(const std::string& fileName) {
  const std::string name = ExtractFileName(fileName);
  const auto dot = name.rfind('.');
  return dot != std::string::npos && name.substr(dot) == ".txt";
}

std::string ProgramFolder() {
  return AddBackslash(ExtractFilePath(kernel::GetModuleFileName()));
}

std::string CabFolder() {
  return AddBackslash(ProgramFolder() + "Cab");
}

}  // namespace launcher
