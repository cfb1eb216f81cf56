#include "cli/zapext.h"

#include <new>

#include "sweep/read_ahead.h"
#include "sweep/removal_queue.h"
#include "sweep/sweep.h"

namespace {

uint32_t Sweep(SweepContext* sweep, FILE* out, const CString& start, const char* argument,
               const ZapextOptions& options) {
  std::unique_ptr<RemovalQueue> removals;
  if (options.workers > 0) {
    removals.reset(new RemovalQueue(sweep->fs, out, options.workers, !options.watched,
                                    options.interrupted));
    // Without a thread to be had, the sweep does the work itself.
    if (removals->workers() == 0) removals.reset();
  }
  ReadAhead lister(sweep->fs, removals.get());
  sweep->lister = &lister;
  if (removals) {
    removals->SetReadAhead(&lister);
    sweep->removals = removals.get();
    sweep->out = removals->output();
  }
  uint32_t count = 0;
  try {
    // Upper-cased once for the whole sweep: however long the argument, no
    // level of the tree holds a copy of it.
    CString wanted(argument);
    wanted.MakeUpper();
    CString directory = start;
    count = SweepDirectory(sweep, nullptr, nullptr, &directory, wanted);
  } catch (const std::bad_alloc&) {
    // Stopped as an interruption stops it: what was done is told, whole.
    sweep->out->Write("Unable to go on: out of memory\n");
    sweep->failed = true;
  }
  if (removals) count += removals->Finish(&sweep->failed);
  return count;
}

}  // namespace

int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out, const ZapextOptions& options) {
  if (argc < 2) {
    fputs("\n\n\rSyntax : ZAPEXT <extension> \n\n\r", out);
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
  uint32_t count = 0;
  try {
    count = Sweep(&sweep, out, directory, argv[1], options);
  } catch (const std::bad_alloc&) {
    // Before anything was removed: no thread to be had, nor room to start.
    fputs("Unable to go on: out of memory\n", out);
    sweep.failed = true;
  }
  fprintf(out, "removed %u files\n\n", static_cast<unsigned>(count));

  // A listing that never reached its reader is a failure too.
  if (fflush(out) != 0 || ferror(out)) sweep.failed = true;
  return sweep.failed || sweep.Interrupted() ? 2 : 0;
}
