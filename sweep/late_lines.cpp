// The lines told late: files removed ahead below a directory the sweep
// leaves before it came to them (an interrupted sweep), every one of them
// still told as the directory closes, and counted in the total.
#include "sweep/read_ahead.h"

void ReadAhead::WriteLate(Directory* dir) {
  if (dir->last) WriteLate(dir->last.get());
  if (dir->current) WriteLate(dir->current.get(), dir->next);
  if (dir->work() == Work::kDone && dir->ahead) WriteLate(dir->ahead.get(), 0);
}

void ReadAhead::WriteLate(Block* block, size_t from) {
  for (size_t i = from; i < block->items.size(); ++i) {
    const Item& item = block->items[i];
    if (item.outcome != Item::kNotRemoved) {
      out_->Write(block->lines.data() + item.lines, item.lines_end - item.lines);
      if (item.outcome == Item::kCounted) ++removed_late_;
      if (item.failed) failed_late_ = true;
    }
    if (item.below) WriteLate(item.below.get());
  }
}
