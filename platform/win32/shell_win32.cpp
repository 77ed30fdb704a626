// Windows backend of the shell service: the shell's own folders and its
// "open" verb.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/shell.h"
// clang-format on

#include <string>

namespace shell {
namespace {

int Csidl(SpecialFolder folder) {
  switch (folder) {
    case SpecialFolder::Personal:
      return CSIDL_PERSONAL;
    case SpecialFolder::LocalAppData:
      return CSIDL_LOCAL_APPDATA;
    case SpecialFolder::Windows:
      return CSIDL_WINDOWS;
    case SpecialFolder::System:
      return CSIDL_SYSTEM;
  }
  return -1;
}

bool Exists(const std::string& path) {
  return kernel::GetFileAttributes(path) != kernel::INVALID_FILE_ATTRIBUTES;
}

bool IsRelative(const std::string& path) {
  const bool drive = path.size() >= 2 && path[1] == ':';
  return !drive && !path.starts_with("\\");
}

// Some verbs' handlers are COM objects, which the shell expects the calling
// thread to have set up; a thread that already had COM keeps it as it was.
class ComForTheShell {
 public:
  ComForTheShell()
      : started_(SUCCEEDED(
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ComForTheShell() {
    if (started_) ::CoUninitialize();
  }
  ComForTheShell(const ComForTheShell&) = delete;
  ComForTheShell& operator=(const ComForTheShell&) = delete;

 private:
  bool started_;
};

}  // namespace

std::string GetSpecialFolder(SpecialFolder folder) {
  char path[MAX_PATH] = {};
  // DONT_VERIFY: the folder is named, not created nor checked.
  if (FAILED(::SHGetFolderPathA(nullptr, Csidl(folder) | CSIDL_FLAG_DONT_VERIFY, nullptr,
                                SHGFP_TYPE_CURRENT, path)))
    return {};
  std::string result = path;
  while (result.size() > 3 && (result.back() == '\\' || result.back() == '/')) result.pop_back();
  return result;
}

bool HasDesktopOpener() {
  return true;
}

bool ShellExecuteOpen(const std::string& file, const std::string& parameters,
                      const std::string& directory) {
  std::string target = kernel::NativePath(file);
  const std::string folder = kernel::NativePath(directory);
  if (target.empty()) {
    kernel::SetLastError(kernel::ERROR_FILE_NOT_FOUND);
    return false;
  }
  // A relative name is made whole here, so the caller's folder is searched
  // before the given one whatever the shell's own order. A name in neither
  // is left to the shell's search (the search path, registered programs,
  // URLs).
  if (IsRelative(target)) {
    if (Exists(target))
      target = kernel::GetCurrentDirectory() + "\\" + target;
    else if (!folder.empty() && Exists(folder + "\\" + target))
      target = folder + "\\" + target;
  }

  ComForTheShell com;
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  // No error boxes of the shell's own: the caller reports the failure. The
  // call returns once the program is started, even from a thread that is
  // about to end.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = "open";
  info.lpFile = target.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (::ShellExecuteExA(&info)) return true;
  const std::uint32_t error = ::GetLastError();
  kernel::SetLastError(error != 0 ? error : std::uint32_t{kernel::ERROR_FILE_NOT_FOUND});
  return false;
}

}  // namespace shell
