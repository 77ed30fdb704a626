// The window lookup without a display: a per-user registry of live windows.
//
// Every shown form binds an abstract Unix socket whose name holds the user,
// the home folder and the form's class name. The kernel takes the name away
// when the socket is closed, so a window vanishes from the registry with its
// process, however that ends. FindWindow connects to the name; a listener
// thread of the owning process answers whether the window is minimised, and
// hands "restore" and "bring to front" to its user-interface thread.
//
// The name holds the home folder so that programs run with their own home
// (tests, a second desktop user under the same account) do not see each
// other's windows, the way Windows keeps the windows of each desktop apart.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui.h"

namespace ui {
namespace {

// Forms of one class share a name; the first few of them get a slot each.
constexpr int kSlots = 8;
// How long a requester waits for an answer, and a listener for a request.
constexpr int kReplyTimeoutMs = 3000;
constexpr int kRequestTimeoutMs = 1000;
constexpr std::size_t kMaxLine = 256;

std::string Hex64(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// FNV-1a: a hash that is the same in every process and every build.
std::uint64_t StableHash(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string SocketName(const std::string& className, int slot) {
  const char* home = std::getenv("HOME");
  // Appended piece by piece: GCC 12 at -O3 misreads a chain of string
  // concatenations as an overlapping copy (-Wrestrict).
  std::string name = "kestrel-ui/";
  name.append(std::to_string(::getuid())).append("/");
  name.append(Hex64(StableHash(home ? home : ""))).append("/");
  // Class names are short; a long one is cut to keep the address valid.
  name.append(className, 0, 64).append("#").append(std::to_string(slot));
  return name;
}

socklen_t MakeAddress(const std::string& name, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  // An abstract name: a leading zero byte, not a file.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// One line (without its end) from a socket, within the time limit.
std::optional<std::string> ReadLine(int fd, int timeoutMs) {
  std::string line;
  for (;;) {
    if (!WaitFor(fd, POLLIN, timeoutMs)) return std::nullopt;
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    if (line.size() >= kMaxLine) return std::nullopt;
    line.push_back(c);
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The name of a window is known to every local user, and any of them could
// bind it first; only a process of this user is listened to, either way.
bool PeerIsThisUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
}

struct Entry {
  WindowHandle form = 0;
  int fd = -1;
  std::atomic<bool> iconic{false};
};

// A window found in the registry: where to ask, and which window it was.
struct Found {
  std::string name;
  long pid = 0;
  WindowHandle form = 0;
};

class Registry {
 public:
  static Registry& Get() {
    // Lives as long as the process: the listener may run until the end.
    static Registry* registry = new Registry;
    return *registry;
  }

  void Register(Form& form) {
    std::lock_guard lock(mutex_);
    if (entries_.contains(form.Handle())) return;
    for (int slot = 0; slot < kSlots; ++slot) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return;
      sockaddr_un address;
      socklen_t length = MakeAddress(SocketName(form.ClassName(), slot), address);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 8) == 0) {
        auto entry = std::make_shared<Entry>();
        entry->form = form.Handle();
        entry->fd = fd;
        entries_[form.Handle()] = entry;
        StartListener();
        Poke();
        return;
      }
      ::close(fd);
      // Taken by another window of the class: try the next slot.
      if (errno != EADDRINUSE) return;
    }
  }

  void Unregister(Form& form) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(form.Handle());
    if (it == entries_.end()) return;
    // The listener may be polling the socket; it closes it.
    closing_.push_back(it->second->fd);
    entries_.erase(it);
    Poke();
  }

  void SetIconic(Form& form, bool iconic) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(form.Handle());
    if (it != entries_.end()) it->second->iconic = iconic;
  }

  TopLevelWindow Find(const std::string& className) {
    for (int slot = 0; slot < kSlots; ++slot) {
      Found found;
      found.name = SocketName(className, slot);
      std::optional<std::string> reply = Ask(found.name, "who");
      if (!reply) continue;
      if (std::sscanf(reply->c_str(), "%ld %u", &found.pid, &found.form) != 2) continue;
      std::lock_guard lock(mutex_);
      TopLevelWindow id = ++lastFound_;
      found_[id] = found;
      return id;
    }
    return 0;
  }

  // Sends a command about a found window; its answer, nothing when the
  // window or its process is gone.
  std::optional<std::string> Command(TopLevelWindow window, const std::string& command) {
    Found found;
    {
      std::lock_guard lock(mutex_);
      auto it = found_.find(window);
      if (it == found_.end()) return std::nullopt;
      found = it->second;
    }
    std::optional<std::string> reply = Ask(
        found.name, command + " " + std::to_string(found.pid) + " " + std::to_string(found.form));
    if (!reply || *reply == "gone") return std::nullopt;
    return reply;
  }

 private:
  Registry() {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
  }

  static std::optional<std::string> Ask(const std::string& name, const std::string& request) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_un address;
    socklen_t length = MakeAddress(name, address);
    std::optional<std::string> reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && PeerIsThisUser(fd) &&
        WriteAll(fd, request + "\n"))
      reply = ReadLine(fd, kReplyTimeoutMs);
    ::close(fd);
    return reply;
  }

  void Poke() {
    if (wake_[1] >= 0) {
      char c = 0;
      [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    }
  }

  void StartListener() {
    if (listening_ || wake_[0] < 0) return;
    listening_ = true;
    std::thread([this] { Listen(); }).detach();
  }

  void Listen() {
    for (;;) {
      std::vector<pollfd> polls;
      std::vector<std::shared_ptr<Entry>> watched;
      {
        std::lock_guard lock(mutex_);
        for (int fd : closing_) ::close(fd);
        closing_.clear();
        polls.push_back({wake_[0], POLLIN, 0});
        for (const auto& [handle, entry] : entries_) {
          polls.push_back({entry->fd, POLLIN, 0});
          watched.push_back(entry);
        }
      }
      if (::poll(polls.data(), polls.size(), -1) < 0) continue;
      if (polls[0].revents) {
        char buffer[64];
        while (::read(wake_[0], buffer, sizeof buffer) > 0) {
        }
      }
      for (std::size_t i = 1; i < polls.size(); ++i) {
        if (!polls[i].revents) continue;
        int client = -1;
        {
          std::lock_guard lock(mutex_);
          // Unregistered meanwhile: the socket is closed on the next round.
          auto it = entries_.find(watched[i - 1]->form);
          if (it == entries_.end() || it->second != watched[i - 1]) continue;
          client = ::accept4(polls[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        if (client < 0) continue;
        Serve(client, *watched[i - 1]);
        ::close(client);
      }
    }
  }

  // Answers one request, on the listener thread.
  void Serve(int client, Entry& entry) {
    if (!PeerIsThisUser(client)) return;
    std::optional<std::string> request = ReadLine(client, kRequestTimeoutMs);
    if (!request) return;
    char verb[16] = {};
    long pid = 0;
    unsigned form = 0;
    int fields = std::sscanf(request->c_str(), "%15s %ld %u", verb, &pid, &form);
    const std::string command = fields >= 1 ? verb : "";
    if (command == "who") {
      WriteAll(client, std::to_string(::getpid()) + " " + std::to_string(entry.form) + "\n");
      return;
    }
    if (fields != 3 || pid != ::getpid() || form != entry.form) {
      WriteAll(client, "gone\n");
      return;
    }
    const WindowHandle handle = entry.form;
    if (command == "iconic") {
      WriteAll(client, entry.iconic ? "1\n" : "0\n");
    } else if (command == "restore" || command == "front") {
      // Restoring a window also activates it.
      if (command == "restore") entry.iconic = false;
      PostCall([handle] {
        Form* target = FromHandle(handle);
        if (target && target->onActivate) {
          auto handler = target->onActivate;
          handler();
        }
      });
      WriteAll(client, "1\n");
    } else {
      WriteAll(client, "?\n");
    }
  }

  std::mutex mutex_;
  std::map<WindowHandle, std::shared_ptr<Entry>> entries_;
  std::vector<int> closing_;
  std::map<TopLevelWindow, Found> found_;
  TopLevelWindow lastFound_ = 0;
  int wake_[2];
  bool listening_ = false;
};

}  // namespace

void Backend::RegisterWindow(Form& form) {
  Registry::Get().Register(form);
}

void Backend::UnregisterWindow(Form& form) {
  Registry::Get().Unregister(form);
}

TopLevelWindow Backend::FindWindow(const std::string& className) {
  return Registry::Get().Find(className);
}

bool Backend::IsIconic(TopLevelWindow window) {
  std::optional<std::string> reply = Registry::Get().Command(window, "iconic");
  return reply && *reply == "1";
}

bool Backend::RestoreWindow(TopLevelWindow window) {
  std::optional<std::string> reply = Registry::Get().Command(window, "restore");
  return reply && *reply == "1";
}

bool Backend::SetForegroundWindow(TopLevelWindow window) {
  std::optional<std::string> reply = Registry::Get().Command(window, "front");
  return reply && *reply == "1";
}

void Backend::MinimizeForm(Form& form) {
  Registry::Get().SetIconic(form, true);
}

}  // namespace ui
