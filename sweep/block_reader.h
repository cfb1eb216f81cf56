// Reading one block of a directory: some hundred entries from its open
// listing, of which those the sweep does something with are kept
// (subdirectories and matching files); ahead of the sweep, the matching
// files are removed, each one's lines kept for the sweep to write in their
// place. Runs on whichever thread took the block, with no lock held.
#ifndef ZAPEXT_SWEEP_BLOCK_READER_H_
#define ZAPEXT_SWEEP_BLOCK_READER_H_

#include <stddef.h>

#include <atomic>

#include "platform/cstring.h"
#include "platform/file_system.h"
#include "sweep/budget.h"
#include "sweep/directory.h"

class BlockReader {
 public:
  // Counted in the budget at once for a block a worker reads, and added in
  // steps at least this large as it grows: most directories need no more,
  // the block their listing is read into (32 KiB) included. Each step takes
  // the engine's lock.
  static constexpr size_t kGrantStep = 40 << 10;
  // Subdirectories of a directory read whole opened at once at most.
  static constexpr size_t kOpenedBelow = 8;

  // For a sweep of `fs` for files whose extension is `wanted`, from the
  // directory whose text is `*start`, within `budget`; removals stop once
  // `*stop` or `*interrupted` turns nonzero.
  BlockReader(FileSystem* fs, const CString* wanted, const CString* start, Budget* budget,
              const std::atomic<bool>* stop, const std::atomic<int>* interrupted)
      : fs_(fs), wanted_(wanted), start_(start), budget_(budget), stop_(stop),
        interrupted_(interrupted) {}

  // Whether removals are to stop: interrupted, or out of memory.
  bool Stopped() const;

  // Reads the next block of `dir`, whose listing is open, into `block`:
  // for a worker (`ahead`), within what the budget grants `dir`; else cut
  // to size, as the sweep holds one at every level it is in. Throws
  // bad_alloc with the entry at hand held in the block.
  void Read(Directory* dir, Block* block, bool ahead);

  // Removes the files of `block` that match, each one's lines kept with
  // it, when the budget has room for every line; `*path` is `dir`'s text,
  // or empty.
  void RemoveAhead(Directory* dir, Block* block, CString* path);

  // Of `dir`, just read whole in its first block ahead of the sweep:
  // whether nothing is left to do through its listing, its subdirectories
  // opened through it now with the handles set aside for them. Then it is
  // closed on this thread: what the system keeps for a reading is freed
  // fastest where it was made. Else the reading's state is let go of,
  // where `lets_go`.
  bool CloseWhole(Directory* dir, bool may_close, bool lets_go);

 private:
  // Whether `dir`'s block may grow to cost `cost`: counted when it fits.
  bool Granted(Directory* dir, size_t cost);
  bool OpenBelow(Directory* dir);

  FileSystem* fs_;
  const CString* wanted_;
  const CString* start_;
  Budget* budget_;
  const std::atomic<bool>* stop_;
  const std::atomic<int>* interrupted_;
};

#endif  // ZAPEXT_SWEEP_BLOCK_READER_H_
