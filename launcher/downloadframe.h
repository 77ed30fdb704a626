// The unpack frame: the client's ten packages, where each one unpacks, and
// the cabinet component that unpacks them.
#pragma once

#include <array>
#include <string>

#include "archive/cabarchive.h"
#include "archive/netcopy.h"
#include "launcher/stored.h"

namespace launcher {

struct TPackage {
  const char* name;
  const char* folder;  // below the program folder; empty: the program folder
};
// The order is fixed: it is the order of unpacking and of the search path.
inline constexpr std::array<TPackage, 10> PackageTable{{
    {"Addin.cab", "Core"},
    {"AppBpl.cab", "Core"},
    {"CommonUI.cab", "Core"},
    {"Kestrel.cab", ""},
    {"ExeLib.cab", ""},
    {"IniFile.cab", ""},
    {"KernelBPL.cab", "System"},
    {"Language.cab", ""},
    {"PMMServer.cab", ""},
    {"ShareBpl.cab", "Core"},
}};

class TDownLoadFrame : public TOwnerComponent {
 public:
  // Created without owner; its components come from its stored definition.
  TDownLoadFrame();

  TCabArchive* CabArchive1;
  TNetCopy* NetCopy1;

  // Unpacks the cabinet into the folder below the program folder; false
  // when the cabinet is missing or anything fails.
  bool UnpackPackage(const std::string& cabinet, const std::string& folder);

 private:
  // The network copy's events are bound but never raised: no copy runs.
  void NetCopy1ConnectError(TNetCopy*) {}
  void NetCopy1CopyCancel(TNetCopy*) {}
  void NetCopy1CopyProgress(TNetCopy*, int, std::uint32_t, std::uint32_t) {}
  void NetCopy1ErrorInfo(TNetCopy*, int, const std::string&) {}
  void NetCopy1FileDone(TNetCopy*, int) {}
  void NetCopy1URLNotFound(TNetCopy*, const std::string&) {}
};

}  // namespace launcher
