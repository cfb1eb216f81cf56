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
  enum State { kFilling, kQueued, kRunning, kDone };

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

  State state = kFilling;
  std::vector<Group> groups;
  std::vector<Item> items;
  std::string names;  // each ends in a NUL
  size_t directories = 0;  // groups, counted in waiting_directories_ until done
  size_t bytes = 0;  // counted in waiting_bytes_ until written
  // The chunk's lines, and how many of their bytes are out.
  std::string lines;
  size_t written = 0;
  // Set once every chunk before this one is written: its lines go out as
  // they come.
  std::atomic<bool> first{false};
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
  chunk->directories = chunk->groups.size();
  Locked locked(&mutex_);
  waiting_bytes_ += chunk->bytes;
  waiting_directories_ += chunk->directories;
  if (chunk->items.empty()) {
    chunk->state = Chunk::kDone;
  } else {
    chunk->state = Chunk::kQueued;
    todo_.push_back(chunk);
    work_.WakeOne();
  }
  WriteOut();
}

void RemovalQueue::WaitForRoom() {
  Locked locked(&mutex_);
  while (waiting_bytes_ > kMaxWaitingBytes || waiting_directories_ > kMaxWaitingDirectories)
    ready_.Wait(&mutex_);
}

void RemovalQueue::CloseDirectories() {
  Submit();
  Locked locked(&mutex_);
  while (waiting_directories_ > 0) ready_.Wait(&mutex_);
}

uint32_t RemovalQueue::Finish(bool* failed) {
  Submit();
  {
    Locked locked(&mutex_);
    while (!chunks_.empty()) ready_.Wait(&mutex_);
    stopping_ = true;
    work_.WakeAll();
  }
  for (auto& thread : threads_) thread->Join();
  if (failed_) *failed = true;
  return removed_;
}

void RemovalQueue::WriteOut() {
  while (!chunks_.empty()) {
    Chunk* chunk = chunks_.front().get();
    if (chunk->state == Chunk::kFilling) return;
    if (chunk->written < chunk->lines.size()) {
      fwrite(chunk->lines.data() + chunk->written, 1, chunk->lines.size() - chunk->written, out_);
      chunk->written = chunk->lines.size();
    }
    if (chunk->state != Chunk::kDone) {
      chunk->first.store(true, std::memory_order_relaxed);
      return;
    }
    waiting_bytes_ -= chunk->bytes;
    chunks_.pop_front();
    ready_.WakeAll();
  }
}

void RemovalQueue::WorkerMain(void* queue) { static_cast<RemovalQueue*>(queue)->Work(); }

void RemovalQueue::Work() {
  Locked locked(&mutex_);
  for (;;) {
    while (todo_.empty() && !stopping_) work_.Wait(&mutex_);
    if (todo_.empty()) return;
    Chunk* chunk = todo_.front();
    todo_.pop_front();
    chunk->state = Chunk::kRunning;
    mutex_.Unlock();
    Remove(chunk);
    mutex_.Lock();
    chunk->state = Chunk::kDone;
    waiting_directories_ -= chunk->directories;
    removed_ += chunk->removed;
    failed_ = failed_ || chunk->failed;
    WriteOut();
    ready_.WakeAll();
  }
}

void RemovalQueue::Remove(Chunk* chunk) {
  TextOutput text;
  SweepContext sweep;
  sweep.fs = fs_;
  sweep.out = &text;
  sweep.interrupted = interrupted_;
  // Lines go into the chunk after each file while it is the first, so that a
  // person watching sees each file as it goes; otherwise once at the end.
  auto publish = [&] {
    Locked locked(&mutex_);
    chunk->lines += *text.text();
    text.text()->clear();
    if (chunk->first.load(std::memory_order_relaxed)) WriteOut();
  };
  for (size_t g = 0; g < chunk->groups.size() && !sweep.Interrupted(); ++g) {
    Chunk::Group& group = chunk->groups[g];
    size_t end = g + 1 < chunk->groups.size() ? chunk->groups[g + 1].first : chunk->items.size();
    for (size_t i = group.first; i < end && !sweep.Interrupted(); ++i) {
      DirEntry entry;
      entry.name = chunk->names.c_str() + chunk->items[i].name;
      entry.attributes = chunk->items[i].attributes;
      if (RemoveMatchedFile(&sweep, group.dir.get(), &group.directory, entry)) ++chunk->removed;
      if (chunk->first.load(std::memory_order_relaxed)) publish();
    }
  }
  chunk->failed = sweep.failed;
  // Closed here, outside the lock, and before the chunk counts as done, so
  // that CloseDirectories finds them closed.
  chunk->groups.clear();
  publish();
}
