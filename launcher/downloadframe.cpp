#include "launcher/downloadframe.h"

#include <functional>
#include <map>

#include "launcher/settings.h"
#include "platform/kernel.h"
#include "update/paths.h"

namespace launcher {

TDownLoadFrame::TDownLoadFrame()
    : TOwnerComponent(nullptr, "TDownLoadFrame"),
      CabArchive1(new TCabArchive(this)),
      NetCopy1(new TNetCopy(this)) {
  CabArchive1->Name = "CabArchive1";
  NetCopy1->Name = "NetCopy1";
  using namespace std::placeholders;
  const HandlerMap handlers{
      {"NetCopy1ConnectError",
       [this] {
         NetCopy1->OnConnectError = std::bind(&TDownLoadFrame::NetCopy1ConnectError, this, _1);
       }},
      {"NetCopy1CopyCancel",
       [this] {
         NetCopy1->OnCopyCancel = std::bind(&TDownLoadFrame::NetCopy1CopyCancel, this, _1);
       }},
      {"NetCopy1CopyProgress",
       [this] {
         NetCopy1->OnCopyProgress =
             std::bind(&TDownLoadFrame::NetCopy1CopyProgress, this, _1, _2, _3, _4);
       }},
      {"NetCopy1ErrorInfo",
       [this] {
         NetCopy1->OnErrorInfo = std::bind(&TDownLoadFrame::NetCopy1ErrorInfo, this, _1, _2, _3);
       }},
      {"NetCopy1FileDone",
       [this] {
         NetCopy1->OnFileDone = std::bind(&TDownLoadFrame::NetCopy1FileDone, this, _1, _2);
       }},
      {"NetCopy1URLNotFound",
       [this] {
         NetCopy1->OnURLNotFound = std::bind(&TDownLoadFrame::NetCopy1URLNotFound, this, _1, _2);
       }},
  };
  LoadStoredDefinition(*this, "TDOWNLOADFRAME", handlers);
}

bool TDownLoadFrame::UnpackPackage(const std::string& cabinet, const std::string& folder) {
  if (!kernel::FileExists(cabinet)) return false;
  try {
    CabArchive1->CABFile = cabinet;
    CabArchive1->TargetPath = ProgramFolder() + folder;
    // The answer is the extraction's own: a package that did not unpack
    // completely must stay due for the next start.
    return CabArchive1->ExtractAll();
  } catch (...) {
    return false;
  }
}

}  // namespace launcher
