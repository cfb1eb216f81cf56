#include "cli/zapext.h"

#include "platform/arguments.h"
#include "sweep/removal_queue.h"
#include "sweep/sweep.h"

int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out, const ZapextOptions& options) {
  if (argc < 2) {
    fputs("\n\n\rSyntax : ZAPEXT <extension> \n\n\r", out);
    return 1;
  }

  // Matched as typed, or not at all: a look-alike could match other names.
  CString wanted;
  if (int error = ArgumentText(argv, 1, &wanted)) {
    FileOutput(out).Line("Unable to use the extension ", wanted, error);
    return 1;
  }

  // The sweep prints absolute paths, so it cannot start without one.
  CString directory;
  if (int error = fs->CurrentDirectory(&directory)) {
    fprintf(out, "Unable to read the current directory, error %d\n", error);
    return 2;
  }

  FileOutput file(out);
  SweepContext sweep;
  sweep.fs = fs;
  sweep.out = &file;
  sweep.interrupted = options.interrupted;
  std::unique_ptr<RemovalQueue> removals;
  if (options.workers > 0) {
    size_t files_per_chunk = options.watched ? 1 : RemovalQueue::kFilesPerChunk;
    removals.reset(
        new RemovalQueue(fs, out, options.workers, files_per_chunk, options.interrupted));
    // Without a thread to be had, the sweep does the work itself.
    if (removals->workers() == 0) removals.reset();
  }
  if (removals) {
    sweep.removals = removals.get();
    sweep.out = removals->output();
  }
  // Upper-cased once for the whole sweep: however long the argument, no
  // level of the tree holds a copy of it.
  wanted.MakeUpper();
  uint32_t count = SweepDirectory(&sweep, nullptr, nullptr, &directory, wanted);
  if (removals) count += removals->Finish(&sweep.failed);
  fprintf(out, "removed %u files\n\n", static_cast<unsigned>(count));

  // A listing that never reached its reader is a failure too.
  if (fflush(out) != 0 || ferror(out)) sweep.failed = true;
  return sweep.failed || sweep.Interrupted() ? 2 : 0;
}
