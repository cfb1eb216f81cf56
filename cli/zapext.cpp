#include "cli/zapext.h"

#include "sweep/sweep.h"

int ZapextMain(FileSystem* fs, int argc, char** argv, FILE* out,
               const volatile sig_atomic_t* interrupted) {
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

  SweepContext sweep;
  sweep.fs = fs;
  sweep.out = out;
  sweep.interrupted = interrupted;
  // Upper-cased once for the whole sweep: however long the argument, no
  // level of the tree holds a copy of it.
  CString wanted(argv[1]);
  wanted.MakeUpper();
  uint32_t count = SweepDirectory(&sweep, nullptr, nullptr, &directory, wanted);
  fprintf(out, "removed %u files\n\n", static_cast<unsigned>(count));

  // A listing that never reached its reader is a failure too.
  if (fflush(out) != 0 || ferror(out)) sweep.failed = true;
  return sweep.failed || sweep.Interrupted() ? 2 : 0;
}
