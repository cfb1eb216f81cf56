#include "sweep/removal_queue.h"

#include <new>

#include "sweep/read_ahead.h"

namespace {

// Workers read listings and remove files; their stacks need little.
const size_t kWorkerStack = 256 << 10;

// How often a worker without work looks again before it sleeps.
const int kLooksBeforeSleep = 64;

}  // namespace

RemovalQueue::RemovalQueue(unsigned workers, ReadAhead* ahead) : ahead_(ahead) {
  budget_.max_bytes = kMaxWaitingBytes;
  budget_.max_handles = kMaxAheadDirectories;
  try {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) {
      std::unique_ptr<Thread> thread(new Thread);
      if (!thread->Start(kWorkerStack, WorkerMain, this)) break;
      threads_.push_back(std::move(thread));
    }
  } catch (const std::bad_alloc&) {
    // As many as memory allows; none, and the sweep works alone.
  }
}

RemovalQueue::~RemovalQueue() { Finish(); }

void RemovalQueue::Finish() {
  {
    Locked locked(&mutex_);
    stopping_ = true;
    work_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
}

void RemovalQueue::WakeWorker(size_t waiting) {
  // Another worker only when the work waiting is more than the busy ones
  // will soon take: a wake-up is dear, one for nothing dearer.
  if (idle_ > 0 && waiting > threads_.size() - idle_) work_.WakeOne();
}

void RemovalQueue::WaitForProgress() {
  // What the sweep waits for is most often a moment away.
  if (sweep_looks_ < kLooksBeforeSleep) {
    ++sweep_looks_;
    mutex_.Unlock();
    GiveWay();
    mutex_.Lock();
    return;
  }
  sweep_looks_ = 0;
  sweep_waits_ = true;
  ready_.Wait(&mutex_);
  sweep_waits_ = false;
}

void RemovalQueue::Progress() {
  if (sweep_waits_) ready_.WakeOne();
}

void RemovalQueue::WorkerMain(void* queue) { static_cast<RemovalQueue*>(queue)->Work(); }

void RemovalQueue::Work() {
  Locked locked(&mutex_);
  int spins = 0;
  for (;;) {
    if (Directory* dir = stopping_ ? nullptr : ahead_->Take()) {
      spins = 0;
      mutex_.Unlock();
      ahead_->Run(dir, nullptr, false);
      mutex_.Lock();
      ahead_->Done(dir, true);
      continue;
    }
    if (stopping_) return;
    // Work comes back soon, most often: a wake-up costs more than a look now
    // and then, giving way to whatever else runs.
    if (spins < kLooksBeforeSleep) {
      ++spins;
      mutex_.Unlock();
      GiveWay();
      mutex_.Lock();
      continue;
    }
    spins = 0;
    ++idle_;
    work_.Wait(&mutex_);
    --idle_;
  }
}
