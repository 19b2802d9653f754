#pragma once

#include <atomic>

/// The host's interrupt: set when the user asks a long operation to stop
/// (Escape in the host, Ctrl-C in taluno); long cooks poll it.
class UT_Interrupt
{
public:
  /// Whether an interrupt was requested.
  bool opInterrupt() const { return _requested.load(std::memory_order_relaxed); }
  /// Requests one; safe to call from a signal handler.
  void interrupt() { _requested.store(true, std::memory_order_relaxed); }
  void clear() { _requested.store(false, std::memory_order_relaxed); }
  /// The flag itself, for code without host types that polls it.
  std::atomic<bool> const* flag() const { return &_requested; }

private:
  std::atomic<bool> _requested{false};
};

/// The process's interrupt.
UT_Interrupt* UTgetInterrupt();
