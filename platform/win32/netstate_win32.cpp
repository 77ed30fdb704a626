// The connected-state query on WinINet.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/inet.h"
// clang-format on

namespace inet {

bool InternetGetConnectedState(std::uint32_t* flags, std::uint32_t reserved) {
  DWORD state = 0;
  const bool connected = ::InternetGetConnectedState(&state, reserved) != FALSE;
  if (flags) *flags = state;
  return connected;
}

bool InternetAutodial(std::uint32_t flags, std::uintptr_t parentWindow) {
  return ::InternetAutodial(flags, reinterpret_cast<HWND>(parentWindow)) != FALSE;
}

}  // namespace inet
