// POSIX backend of code page conversion: iconv, by the names it gives the
// Windows code pages.
#include <iconv.h>

#include <cerrno>
#include <map>

#include "platform/codepage.h"

namespace codepage {
namespace {

const char* IconvName(unsigned codePage) {
  switch (codePage) {
    case 437:
      return "CP437";
    case 850:
      return "CP850";
    case 852:
      return "CP852";
    case 866:
      return "CP866";
    case 874:
      return "CP874";
    case 932:
      return "CP932";
    case 936:
      return "CP936";
    case 949:
      return "CP949";
    case 950:
      return "CP950";
    case 1250:
      return "CP1250";
    case 1251:
      return "CP1251";
    case 1252:
      return "CP1252";
    case 1253:
      return "CP1253";
    case 1254:
      return "CP1254";
    case 1255:
      return "CP1255";
    case 1256:
      return "CP1256";
    case 1257:
      return "CP1257";
    case 1258:
      return "CP1258";
    case 10000:
      return "MACINTOSH";
    case kUtf8:
      return "UTF-8";
    default:
      return nullptr;
  }
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

iconv_t Invalid() {
  return reinterpret_cast<iconv_t>(-1);
}

// Converters stay open for the thread: a document converts many short runs.
class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    for (auto& [page, handle] : open_)
      if (handle != Invalid()) iconv_close(handle);
  }

  iconv_t For(unsigned codePage) {
    auto found = open_.find(codePage);
    if (found != open_.end()) return found->second;
    const char* name = IconvName(codePage);
    iconv_t handle = name ? iconv_open("UTF-8", name) : Invalid();
    open_[codePage] = handle;
    return handle;
  }

 private:
  std::map<unsigned, iconv_t> open_;
};

}  // namespace

std::optional<std::string> ToUtf8(unsigned codePage, std::string_view bytes) {
  thread_local Converters converters;
  iconv_t handle = converters.For(codePage);
  if (handle == Invalid()) return std::nullopt;
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::string out;
  char buffer[1024];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t done = iconv(handle, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (done != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    out += kReplacement;
    ++in;
    --inLeft;
    iconv(handle, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace codepage
