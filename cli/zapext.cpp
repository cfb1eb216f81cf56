#include "cli/zapext.h"

#include <new>

#include "platform/arguments.h"
#include "sweep/read_ahead.h"
#include "sweep/worker_pool.h"
#include "sweep/sweep.h"

namespace {

uint32_t Sweep(SweepContext* sweep, const CString& start, CString* wanted,
               const ZapextOptions& options) {
  // Upper-cased once for the whole sweep: however long the argument, no
  // level of the tree holds a copy of it.
  wanted->MakeUpper();
  ReadAhead engine(sweep->fs, *wanted, sweep->out, options.interrupted);
  std::unique_ptr<WorkerPool> workers;
  if (options.workers > 0) {
    try {
      workers.reset(new WorkerPool(options.workers, &engine));
    } catch (const std::bad_alloc&) {
      // Then alone.
    }
  }
  // Someone watching sees each line before its file goes.
  if (workers) engine.Start(workers.get(), !options.watched);
  sweep->engine = &engine;
  uint32_t count = 0;
  try {
    CString directory = start;
    count = SweepDirectory(sweep, nullptr, nullptr, &directory, *wanted);
  } catch (const std::bad_alloc&) {
    sweep->short_of_memory = true;
    engine.Halt();
  }
  if (workers) workers->Finish();
  if (engine.failed_late()) sweep->failed = true;
  if (sweep->short_of_memory) {
    // Stopped as an interruption stops it: what was done is told, whole.
    sweep->out->Write("Unable to go on: out of memory\n");
    sweep->failed = true;
  }
  return count + engine.removed_late();
}

}  // namespace

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

  FileOutput file(out, options.watched);
  SweepContext sweep;
  sweep.fs = fs;
  sweep.out = &file;
  sweep.interrupted = options.interrupted;
  uint32_t count = 0;
  try {
    count = Sweep(&sweep, directory, &wanted, options);
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
