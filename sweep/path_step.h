// One text holds the path of whatever the sweep is at: each level adds its
// name while it is there and takes it off when it leaves, so the sweep
// builds no path per directory or per file, and a deep tree costs memory in
// proportion to its depth, not to the square of it.
#ifndef ZAPEXT_SWEEP_PATH_STEP_H_
#define ZAPEXT_SWEEP_PATH_STEP_H_

#include "platform/cstring.h"

// Adds the separator and `name` to `*path` for as long as it lives.
class PathStep {
 public:
  PathStep(CString* path, char separator, const char* name)
      : path_(path), length_(path->GetLength()) {
    *path += separator;
    *path += name;
  }
  ~PathStep() { path_->Truncate(length_); }
  PathStep(const PathStep&) = delete;
  PathStep& operator=(const PathStep&) = delete;

 private:
  CString* path_;
  int length_;
};

#endif  // ZAPEXT_SWEEP_PATH_STEP_H_
