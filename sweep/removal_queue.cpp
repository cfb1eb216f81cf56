#include "sweep/removal_queue.h"

#include <string.h>

#include "sweep/sweep.h"

namespace {

// A chunk is handed over early when its text alone reaches this much.
const size_t kBytesPerChunk = 64 << 10;

// Workers only remove files; their stacks need little.
const size_t kWorkerStack = 256 << 10;

}  // namespace

struct RemovalQueue::Chunk {
  // A run of files from one directory: items [first, the next group's first).
  struct Group {
    std::shared_ptr<Listing> dir;
    CString directory;
    size_t first;
  };
  struct Item {
    size_t name;  // in `names`
    uint32_t attributes;
  };

  bool done = false;  // its files removed, or it has none
  std::vector<Group> groups;
  std::vector<Item> items;
  std::string names;  // each ends in a NUL
  size_t bytes = 0;  // counted in waiting_bytes_ until let go
  std::string lines;
  uint32_t removed = 0;
  bool failed = false;
};

RemovalQueue::RemovalQueue(FileSystem* fs, FILE* out, unsigned workers, size_t files_per_chunk,
                           const std::atomic<int>* interrupted)
    : fs_(fs), out_(out), files_per_chunk_(files_per_chunk), interrupted_(interrupted) {
  for (unsigned i = 0; i < workers; ++i) {
    std::unique_ptr<Thread> thread(new Thread);
    if (!thread->Start(kWorkerStack, WorkerMain, this)) break;
    threads_.push_back(std::move(thread));
  }
}

RemovalQueue::~RemovalQueue() {
  bool failed = false;
  Finish(&failed);
}

void RemovalQueue::SweepOutput::Write(const char* text, size_t length) {
  // A line of the sweep's own comes after the files handed over before it,
  // and goes out as soon as they are.
  if (queue_->filling_ && !queue_->filling_->items.empty()) queue_->Submit();
  queue_->Filling()->lines.append(text, length);
  queue_->Submit();
  queue_->WaitForRoom();
}

RemovalQueue::Chunk* RemovalQueue::Filling() {
  if (!filling_) {
    std::unique_ptr<Chunk> chunk(new Chunk);
    filling_ = chunk.get();
    Locked locked(&mutex_);
    chunks_.push_back(std::move(chunk));
  }
  return filling_;
}

void RemovalQueue::Add(const std::shared_ptr<Listing>& dir, const CString& directory,
                       const DirEntry& entry) {
  Chunk* chunk = Filling();
  if (chunk->groups.empty() || chunk->groups.back().dir != dir) {
    chunk->groups.push_back({dir, directory, chunk->items.size()});
    chunk->bytes += sizeof(Chunk::Group) + directory.GetLength();
  }
  size_t length = strlen(entry.name);
  chunk->items.push_back({chunk->names.size(), entry.attributes});
  chunk->names.append(entry.name, length + 1);
  // The name, and the line it will have.
  chunk->bytes += sizeof(Chunk::Item) + length + 1 + directory.GetLength() + length + 32;
  if (chunk->items.size() >= files_per_chunk_ || chunk->bytes >= kBytesPerChunk) {
    Submit();
    WaitForRoom();
  }
}

void RemovalQueue::Submit() {
  Chunk* chunk = filling_;
  if (!chunk) return;
  filling_ = nullptr;
  chunk->bytes += chunk->lines.size();
  Locked locked(&mutex_);
  waiting_bytes_ += chunk->bytes;
  waiting_directories_ += chunk->groups.size();
  if (chunk->items.empty()) {
    chunk->done = true;
  } else {
    todo_.push_back(chunk);
    work_.WakeOne();
  }
  WriteOut();
}

void RemovalQueue::LetGo() {
  std::vector<std::unique_ptr<Chunk>> written;
  {
    Locked locked(&mutex_);
    written.swap(written_);
    for (const auto& chunk : written) {
      waiting_bytes_ -= chunk->bytes;
      waiting_directories_ -= chunk->groups.size();
    }
  }
  // Out of the lock: this may close directories.
}

void RemovalQueue::WaitUntil(bool (RemovalQueue::*done)() const) {
  for (;;) {
    LetGo();
    Locked locked(&mutex_);
    if ((this->*done)()) return;
    // Woken when a chunk is written, and so may be let go.
    while (written_.empty()) ready_.Wait(&mutex_);
  }
}

bool RemovalQueue::HasRoom() const {
  return waiting_bytes_ <= kMaxWaitingBytes && waiting_directories_ <= kMaxWaitingDirectories;
}

bool RemovalQueue::HoldsNoDirectory() const { return waiting_directories_ == 0; }

bool RemovalQueue::AllWritten() const { return chunks_.empty() && written_.empty(); }

void RemovalQueue::WaitForRoom() { WaitUntil(&RemovalQueue::HasRoom); }

void RemovalQueue::CloseDirectories() {
  Submit();
  WaitUntil(&RemovalQueue::HoldsNoDirectory);
}

uint32_t RemovalQueue::Finish(bool* failed) {
  Submit();
  WaitUntil(&RemovalQueue::AllWritten);
  {
    Locked locked(&mutex_);
    stopping_ = true;
    work_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
  if (failed_) *failed = true;
  return removed_;
}

void RemovalQueue::WriteOut() {
  bool wrote = false;
  while (!chunks_.empty() && chunks_.front()->done) {
    std::unique_ptr<Chunk>& chunk = chunks_.front();
    fwrite(chunk->lines.data(), 1, chunk->lines.size(), out_);
    removed_ += chunk->removed;
    failed_ = failed_ || chunk->failed;
    // The sweep lets it go: the directories it holds are then closed on the
    // sweep's own thread, like every other.
    written_.push_back(std::move(chunk));
    chunks_.pop_front();
    wrote = true;
  }
  if (wrote) ready_.WakeAll();
}

void RemovalQueue::WorkerMain(void* queue) { static_cast<RemovalQueue*>(queue)->Work(); }

void RemovalQueue::Work() {
  Locked locked(&mutex_);
  for (;;) {
    while (todo_.empty() && !stopping_) work_.Wait(&mutex_);
    if (todo_.empty()) return;
    Chunk* chunk = todo_.front();
    todo_.pop_front();
    mutex_.Unlock();
    Remove(chunk);
    mutex_.Lock();
    chunk->done = true;
    WriteOut();
  }
}

void RemovalQueue::Remove(Chunk* chunk) {
  // Only this worker touches the chunk until it is done.
  TextOutput text(&chunk->lines);
  SweepContext sweep;
  sweep.fs = fs_;
  sweep.out = &text;
  sweep.interrupted = interrupted_;
  for (size_t g = 0; g < chunk->groups.size() && !sweep.Interrupted(); ++g) {
    Chunk::Group& group = chunk->groups[g];
    size_t end = g + 1 < chunk->groups.size() ? chunk->groups[g + 1].first : chunk->items.size();
    for (size_t i = group.first; i < end && !sweep.Interrupted(); ++i) {
      DirEntry entry;
      entry.name = chunk->names.c_str() + chunk->items[i].name;
      entry.attributes = chunk->items[i].attributes;
      if (RemoveMatchedFile(&sweep, group.dir.get(), &group.directory, entry)) ++chunk->removed;
    }
  }
  chunk->failed = sweep.failed;
}
