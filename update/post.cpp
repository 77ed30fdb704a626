// The report of an update to a web server: one form-encoded POST whose
// answer the owner judges in OnProcessPostResult.
#include <algorithm>

#include "platform/ui.h"
#include "resources/messages.h"
#include "update/updater.h"

namespace {

// The answer a server may send back; more is not kept.
constexpr std::size_t kMaxPostResult = 16u << 20;

}  // namespace

void TUpdater::PostUpdateData() {
  if (PostUpdateInfo.Server.empty() || PostUpdateInfo.Action.empty()) return;
  // The system's proxy settings, not the component's: the report goes to the
  // publisher's web server, not through the update path.
  inet::HINTERNET root = inet::InternetOpen(Agent, inet::INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
  inet::HINTERNET connection =
      root ? inet::InternetConnect(root, PostUpdateInfo.Server, inet::INTERNET_DEFAULT_HTTP_PORT,
                                   "", "", inet::INTERNET_SERVICE_HTTP, 0, 1)
           : nullptr;
  if (!connection) {
    ReportStatus(msg::kCannotConnectForPost, "", 16, 5);
  } else {
    inet::HINTERNET request =
        inet::HttpOpenRequest(connection, "POST", PostUpdateInfo.Action, "", "", 0, 1);
    if (!request) {
      ReportStatus(msg::kCannotAccessForPost, "", 17, 5);
    } else {
      PostUpdateInfo.PostResult.clear();
      if (inet::HttpSendRequest(request, "Content-Type: application/x-www-form-urlencoded",
                                PostUpdateInfo.Data)) {
        char block[4096];
        std::uint32_t read = 0;
        do {
          ui::ProcessMessages();
          if (!inet::InternetReadFile(request, block, sizeof block, read)) break;
          const std::size_t room = kMaxPostResult - PostUpdateInfo.PostResult.size();
          PostUpdateInfo.PostResult.append(block, std::min<std::size_t>(read, room));
          if (read > room) break;
        } while (read > 0);
      }
      inet::InternetCloseHandle(request);
    }
    inet::InternetCloseHandle(connection);
  }
  if (root) inet::InternetCloseHandle(root);
}

bool TUpdater::RunPostUpdate() {
  if (!PostUpdateInfo.Enabled) return true;
  bool allowPost = true;
  if (OnBeforePost) OnBeforePost(this, allowPost);
  if (!allowPost) return true;
  PostUpdateData();
  bool allowPostResult = true;
  if (OnProcessPostResult) OnProcessPostResult(this, allowPostResult);
  return allowPostResult;
}
