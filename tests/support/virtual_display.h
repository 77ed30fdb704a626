// A virtual X display for the tests that show real windows: an Xvfb server
// started on a display number it chooses itself (-displayfd), so that tests
// in parallel each get their own and no outer xvfb-run is needed.
#pragma once

#include <string>

namespace testing_support {

class VirtualDisplay {
 public:
  // The display of this test process, started on first use and stopped at
  // its exit (or with it, should it die); DISPLAY names it for this process
  // and the programs it starts. Null when no server can be started (Xvfb
  // missing): the caller skips.
  static VirtualDisplay* Get();

  // ":N".
  const std::string& Name() const { return name_; }

  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;
  ~VirtualDisplay();

 private:
  VirtualDisplay() = default;
  bool Start();
  int pid_ = -1;
  std::string name_;
};

}  // namespace testing_support
