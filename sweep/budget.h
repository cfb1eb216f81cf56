// The one budget of what may wait for the sweep, read ahead of it: bytes
// of entries and lines, and directories held open. Every count is made
// under the engine's lock, before what it counts is made.
#ifndef ZAPEXT_SWEEP_BUDGET_H_
#define ZAPEXT_SWEEP_BUDGET_H_

#include <stddef.h>

#include "platform/thread.h"

class Budget {
 public:
  // What may wait at once: bytes of entries and lines, directories open.
  static const size_t kMaxBytes = 2 << 20;
  static const size_t kMaxHandles = 256;

  explicit Budget(Mutex* lock) : lock_(lock) {}

  // With the lock held.
  void Count(size_t cost) { bytes_ += cost; }
  // True when this gave room back to a budget that was full.
  bool Discount(size_t cost) {
    bool full = bytes_ >= kMaxBytes;
    bytes_ -= cost;
    return full && bytes_ < kMaxBytes;
  }
  bool Fits(size_t cost) const { return bytes_ + cost <= kMaxBytes; }

  // Without the lock: counts `cost` when it fits, and says whether it did.
  bool Take(size_t cost) {
    Locked locked(lock_);
    if (!Fits(cost)) return false;
    Count(cost);
    return true;
  }

  // Directories held open ahead, with the lock held.
  size_t handles() const { return handles_; }
  size_t max_handles() const { return max_handles_; }
  size_t free_handles() const { return max_handles_ > handles_ ? max_handles_ - handles_ : 0; }
  void CountHandles(size_t n) { handles_ += n; }
  void DiscountHandles(size_t n) { handles_ -= n; }
  // Never raised: a want of handles lowers it for the rest of the run.
  void LimitHandles(size_t most) {
    if (most < max_handles_) max_handles_ = most;
  }

 private:
  Mutex* lock_;
  size_t bytes_ = 0;
  size_t handles_ = 0;
  size_t max_handles_ = kMaxHandles;
};

#endif  // ZAPEXT_SWEEP_BUDGET_H_
