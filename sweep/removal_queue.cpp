#include "sweep/removal_queue.h"

#include <string.h>

#include <new>

#include "sweep/sweep.h"

namespace {

// Workers remove files and read listings; their stacks need little.
const size_t kWorkerStack = 256 << 10;

// What a file's lines take besides two copies of its path: "removing ",
// "Unable to remove ", ", error " with the largest code, and the ends.
const size_t kLinesBesidePath = 64;

// A chunk handed over waits at most this many sweep steps (directories
// entered, files handed over) before the sweep removes it itself.
const uint64_t kMostStepsWaiting = 64;

}  // namespace

struct RemovalQueue::Chunk {
  struct Item {
    size_t name;  // in `names`
    uint32_t attributes;
  };

  Directory* dir = nullptr;  // null: a text of the sweep's own
  CString directory;         // with room for the longest of its names
  std::vector<Item> items;
  std::string names;  // each ends in a NUL
  std::string lines;  // with room for every line its files may have
  size_t room = 0;
  size_t counted = 0;  // in the budget until written
  uint64_t step = 0;   // the sweep's step when it was handed over
  uint32_t removed = 0;
  bool failed = false;
  bool taken = false;  // by a worker or the sweep, to remove its files
  bool done = false;
  Chunk* next = nullptr;  // in the output's order
  Chunk* todo_prev = nullptr;
  Chunk* todo_next = nullptr;

  size_t Cost() const {
    return sizeof *this + directory.GetAllocLength() + items.capacity() * sizeof(Item) +
           names.capacity() + lines.capacity();
  }
};

RemovalQueue::RemovalQueue(FileSystem* fs, FILE* out, unsigned workers, bool hand_over,
                           const std::atomic<int>* interrupted)
    : fs_(fs), out_(out), hand_over_(hand_over), interrupted_(interrupted) {
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

RemovalQueue::~RemovalQueue() {
  bool failed = false;
  Finish(&failed);
}

void RemovalQueue::SetReadAhead(ReadAhead* ahead) {
  Locked locked(&mutex_);
  ahead_ = ahead;
}

void RemovalQueue::Count(size_t bytes) {
  budget_.bytes += bytes;
  if (budget_.bytes > peak_bytes_) peak_bytes_ = budget_.bytes;
}

void RemovalQueue::Discount(size_t bytes) { budget_.bytes -= bytes; }

void RemovalQueue::WakeWorker() {
  if (idle_ > 0) work_.WakeOne();
}

void RemovalQueue::WaitForProgress() {
  sweep_waits_ = true;
  ready_.Wait(&mutex_);
  sweep_waits_ = false;
}

void RemovalQueue::Progress() {
  if (sweep_waits_) ready_.WakeOne();
}

void RemovalQueue::SweepOutput::Write(const char* text, size_t length) {
  // A line of the sweep's own comes after the files handed over before it.
  RemovalQueue* queue = queue_;
  queue->Submit();
  queue->WriteOut();
  if (queue->first_) {
    try {
      Chunk* last = queue->last_;
      if (last->dir) {
        std::unique_ptr<Chunk> chunk(new Chunk);
        chunk->done = true;
        chunk->lines.assign(text, length);
        last->next = chunk.get();
        queue->last_ = chunk.release();
      } else {
        last->lines.append(text, length);
      }
      Chunk* chunk = queue->last_;
      size_t cost = chunk->Cost();
      Locked locked(&queue->mutex_);
      queue->Count(cost - chunk->counted);
      chunk->counted = cost;
    } catch (const std::bad_alloc&) {
      // Everything before it written, it needs no room.
      queue->Stop();
      fwrite(text, 1, length, queue->out_);
    }
    queue->WaitForRoom();
    return;
  }
  fwrite(text, 1, length, queue->out_);
}

bool RemovalQueue::Add(Directory* dir, const CString& directory, const DirEntry& entry) {
  if (!hand_over_ || stopped_) return false;
  if (filling_ && filling_->dir != dir) Submit();
  size_t length = strlen(entry.name);
  size_t path = directory.GetLength() + 1 + length;
  // Whatever its removal needs is allocated here, on the sweep's thread: a
  // worker allocates nothing, and a shortage only means the sweep removes
  // the file itself.
  try {
    if (!filling_) {
      std::unique_ptr<Chunk> chunk(new Chunk);
      chunk->dir = dir;
      chunk->directory = directory;
      chunk->items.reserve(kFilesPerChunk);
      filling_ = chunk.release();
    }
    Chunk* chunk = filling_;
    chunk->names.reserve(chunk->names.size() + length + 1);
    chunk->lines.reserve(chunk->room + 2 * path + kLinesBesidePath);
    chunk->room += 2 * path + kLinesBesidePath;
    chunk->directory.Preallocate(static_cast<int>(path));
  } catch (const std::bad_alloc&) {
    Stop();
    return false;
  }
  Chunk* chunk = filling_;
  chunk->items.push_back({chunk->names.size(), entry.attributes});
  chunk->names.append(entry.name, length + 1);
  ++steps_;
  if (chunk->items.size() >= kFilesPerChunk) {
    Submit();
    WaitForRoom();
  }
  return true;
}

void RemovalQueue::Step() {
  ++steps_;
  Submit();
  // The oldest file nobody has taken yet goes now, however busy the workers.
  Chunk* oldest = nullptr;
  {
    Locked locked(&mutex_);
    if (todo_first_ && steps_ - todo_first_->step > kMostStepsWaiting) {
      oldest = todo_first_;
      Untodo(oldest);
    }
  }
  if (oldest) RemoveHere(oldest);
  WriteOut();
}

void RemovalQueue::Submit() {
  Chunk* chunk = filling_;
  if (!chunk) return;
  filling_ = nullptr;
  chunk->step = steps_;
  chunk->counted = chunk->Cost();
  if (last_) {
    last_->next = chunk;
  } else {
    first_ = chunk;
  }
  last_ = chunk;
  Locked locked(&mutex_);
  Count(chunk->counted);
  chunk->todo_prev = todo_last_;
  if (todo_last_) {
    todo_last_->todo_next = chunk;
  } else {
    todo_first_ = chunk;
  }
  todo_last_ = chunk;
  ++undone_;
  WakeWorker();
}

void RemovalQueue::Untodo(Chunk* chunk) {
  (chunk->todo_prev ? chunk->todo_prev->todo_next : todo_first_) = chunk->todo_next;
  (chunk->todo_next ? chunk->todo_next->todo_prev : todo_last_) = chunk->todo_prev;
  chunk->todo_prev = chunk->todo_next = nullptr;
  chunk->taken = true;
}

void RemovalQueue::RemoveHere(Chunk* chunk) {
  Remove(chunk);
  Locked locked(&mutex_);
  chunk->done = true;
  --undone_;
}

void RemovalQueue::WriteOut() {
  while (Chunk* chunk = first_) {
    {
      Locked locked(&mutex_);
      if (!chunk->done) return;
      removed_ += chunk->removed;
      failed_ = failed_ || chunk->failed;
      Discount(chunk->counted);
    }
    // Outside the lock: a slow reader holds up the sweep, never a worker.
    fwrite(chunk->lines.data(), 1, chunk->lines.size(), out_);
    first_ = chunk->next;
    if (!first_) last_ = nullptr;
    delete chunk;
  }
}

void RemovalQueue::Drain(Directory* dir) {
  Submit();
  for (;;) {
    Chunk* mine = nullptr;
    {
      Locked locked(&mutex_);
      bool pending = false;
      if (!dir) {
        mine = todo_first_;
        pending = undone_ > 0;
      } else {
        for (Chunk* chunk = first_; chunk && !mine; chunk = chunk->next) {
          if (chunk->dir != dir || chunk->done) continue;
          if (chunk->taken) {
            pending = true;
          } else {
            mine = chunk;
          }
        }
      }
      if (mine) {
        Untodo(mine);
      } else if (pending) {
        WaitForProgress();
        continue;
      } else {
        break;
      }
    }
    // Nobody has taken it yet: the sweep removes its files itself.
    RemoveHere(mine);
  }
  WriteOut();
}

void RemovalQueue::WaitForRoom() {
  WriteOut();
  for (;;) {
    Chunk* oldest = nullptr;
    {
      Locked locked(&mutex_);
      // Listings read ahead wait for the sweep, not for this.
      if (budget_.bytes <= budget_.max_bytes || undone_ == 0) return;
      if (todo_first_) {
        oldest = todo_first_;
        Untodo(oldest);
      } else {
        WaitForProgress();
      }
    }
    if (oldest) RemoveHere(oldest);
    WriteOut();
  }
}

void RemovalQueue::Leave(Directory* dir) { Drain(dir); }

void RemovalQueue::Stop() {
  stopped_ = true;
  Drain(nullptr);
  if (ahead_) ahead_->Stop();
}

uint32_t RemovalQueue::Finish(bool* failed) {
  Drain(nullptr);
  {
    Locked locked(&mutex_);
    stopping_ = true;
    work_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
  if (failed_) *failed = true;
  uint32_t removed = removed_;
  removed_ = 0;
  return removed;
}

void RemovalQueue::WorkerMain(void* queue) { static_cast<RemovalQueue*>(queue)->Work(); }

void RemovalQueue::Work() {
  Locked locked(&mutex_);
  for (;;) {
    if (Chunk* chunk = todo_first_) {
      Untodo(chunk);
      mutex_.Unlock();
      Remove(chunk);
      mutex_.Lock();
      chunk->done = true;
      --undone_;
      Progress();
      continue;
    }
    if (Directory* dir = ahead_ ? ahead_->Take() : nullptr) {
      mutex_.Unlock();
      ahead_->Read(dir);
      mutex_.Lock();
      ahead_->Done(dir);
      continue;
    }
    if (stopping_) return;
    ++idle_;
    work_.Wait(&mutex_);
    --idle_;
  }
}

void RemovalQueue::Remove(Chunk* chunk) {
  // Only this thread touches the chunk until it is done. Its lines and its
  // path stay within the room reserved for them: nothing is allocated here.
  TextOutput text(&chunk->lines);
  SweepContext sweep;
  sweep.fs = fs_;
  sweep.out = &text;
  sweep.interrupted = interrupted_;
  for (const Chunk::Item& item : chunk->items) {
    if (sweep.Interrupted()) break;
    DirEntry entry;
    entry.name = chunk->names.c_str() + item.name;
    entry.attributes = item.attributes;
    if (RemoveMatchedFile(&sweep, chunk->dir->listing(), &chunk->directory, entry))
      ++chunk->removed;
  }
  chunk->failed = sweep.failed;
}
