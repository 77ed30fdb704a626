// What both cabinet backends share: running the program's callbacks from
// inside a C library, which an exception must never unwind through (the
// library would keep its memory and handles). A callback runs inside a
// guard that keeps its exception and hands the library the failure value;
// the backend throws the exception again once the library has returned.
#pragma once

#include <exception>

#include "platform/cabinet.h"

namespace cabinet::callbacks {

class Guarded {
 public:
  // Runs a program callback unless an earlier one threw.
  template <typename Result, typename Call>
  Result Guard(Result failure, Call&& call) {
    if (pending_) return failure;
    return Always(failure, call);
  }
  // The same for calls that must run even after a failure (closing,
  // freeing); the first exception is the one kept.
  template <typename Result, typename Call>
  Result Always(Result failure, Call&& call) {
    try {
      return call();
    } catch (...) {
      if (!pending_) pending_ = std::current_exception();
      return failure;
    }
  }
  bool Threw() const { return pending_ != nullptr; }
  void Forget() { pending_ = nullptr; }
  void RethrowPending() {
    if (!pending_) return;
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }

 private:
  std::exception_ptr pending_;
};

// The program's memory and file callbacks, as FDICreate took them.
struct ProgramCallbacks {
  PFNALLOC alloc = nullptr;
  PFNFREE free = nullptr;
  PFNOPEN open = nullptr;
  PFNREAD read = nullptr;
  PFNWRITE write = nullptr;
  PFNCLOSE close = nullptr;
  PFNSEEK seek = nullptr;
  bool Complete() const { return alloc && free && open && read && write && close && seek; }
};

// The context whose library call is running on this thread. The libraries'
// callbacks carry no pointer back to it, but every call is synchronous, so
// the running one is known.
template <typename Context>
class Activate {
 public:
  explicit Activate(Context* context) : previous_(active) { active = context; }
  ~Activate() { active = previous_; }
  Activate(const Activate&) = delete;
  Activate& operator=(const Activate&) = delete;
  static Context* Active() { return active; }

 private:
  static inline thread_local Context* active = nullptr;
  Context* previous_;
};

}  // namespace cabinet::callbacks
