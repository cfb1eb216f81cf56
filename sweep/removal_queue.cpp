#include "sweep/removal_queue.h"

#include <new>

#include "sweep/read_ahead.h"

namespace {

// Workers read listings and remove files; their stacks need little.
const size_t kWorkerStack = 256 << 10;

// How often a thread waiting looks again before it sleeps.
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

bool RemovalQueue::LookAgain(int* looks) {
  // What a thread waits for is most often a moment away: on these machines
  // a wake-up costs more than a few looks, giving way to whatever else runs.
  if (*looks >= kLooksBeforeSleep) {
    *looks = 0;
    return false;
  }
  ++*looks;
  mutex_.Unlock();
  GiveWay();
  mutex_.Lock();
  return true;
}

void RemovalQueue::WaitForProgress() {
  if (LookAgain(&sweep_looks_)) return;
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
  int looks = 0;
  for (;;) {
    if (Directory* dir = stopping_ ? nullptr : ahead_->Take()) {
      looks = 0;
      mutex_.Unlock();
      ahead_->Run(dir, nullptr, false);
      mutex_.Lock();
      ahead_->Done(dir, true);
      continue;
    }
    if (stopping_) return;
    if (LookAgain(&looks)) continue;
    ++idle_;
    work_.Wait(&mutex_);
    --idle_;
  }
}
