// Blocks the sweep is done with, kept to read into again: a block a
// directory then costs no allocation. The engine counts them in its budget
// while they wait; it uses them under its lock.
#ifndef ZAPEXT_SWEEP_SPARE_BLOCKS_H_
#define ZAPEXT_SWEEP_SPARE_BLOCKS_H_

#include <memory>
#include <vector>

#include "sweep/directory.h"

class SpareBlocks {
 public:
  SpareBlocks();
  SpareBlocks(const SpareBlocks&) = delete;
  SpareBlocks& operator=(const SpareBlocks&) = delete;

  // Takes `*block`, emptied, when there is room and it is of a size worth
  // keeping: true when it did, its cost then its SpareCost().
  bool Keep(std::unique_ptr<Block>* block);
  // A block kept, or null.
  std::unique_ptr<Block> Take();

 private:
  std::vector<std::unique_ptr<Block>> kept_;
};

#endif  // ZAPEXT_SWEEP_SPARE_BLOCKS_H_
