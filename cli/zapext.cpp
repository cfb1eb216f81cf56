#include "cli/zapext.h"

#include <string.h>

#include <new>
#include <utility>

#include "platform/arguments.h"
#include "sweep/read_ahead.h"
#include "sweep/sweep.h"
#include "sweep/worker_pool.h"

namespace {

const char kSyntaxMessage[] = "\n\n\rSyntax : ZAPEXT <extension> \n\n\r";

const char kUsage[] =
    "Usage: zapext [-n | --dry-run] [--] EXTENSION\n"
    "       zapext -h | --help | --version\n"
    "\n"
    "Removes every file whose extension is EXTENSION (the text after the last\n"
    "dot of its name, in any letter case) from the current directory and every\n"
    "directory beneath it, naming each one. It asks no questions.\n"
    "\n"
    "  -n, --dry-run  name the files it would remove; remove nothing\n"
    "  --             take the next word as the extension, whatever it is\n"
    "  -h, --help     show this text\n"
    "  --version      show the version\n"
    "\n"
    "Only the first word can be an option; words after the extension are ignored.\n"
    "\n"
    "Exit status: 0 done, 1 no extension or a refused word, 2 something failed.\n"
    "\n"
    "Example: zapext -n bak    lists the files that zapext bak would remove.\n";

// What the command line asks for. Only its first word can be an option, so a
// version that did not know one would take it for an extension no file has.
struct Command {
  enum Kind { kSyntax, kHelp, kVersion, kUnknownOption, kRefusedWord, kSweep } kind = kSyntax;
  bool dry_run = false;
  // The extension to sweep for, or the word refused.
  CString word;
  int error = 0;  // why the word was refused, for kRefusedWord
};

Command ReadCommandLine(int argc, char** argv) {
  Command command;
  if (argc < 2) return command;
  // Compared as typed: on Windows argv's word may be a look-alike.
  CString first;
  int error = ArgumentText(argv, 1, &first);
  // Windows' "/?" holds a '?', refused in an extension: asking for help
  // comes first. Help touches nothing, whatever word asked for it.
  if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || AsksForHelp(first)) {
    command.kind = Command::kHelp;
    return command;
  }
  if (error) {
    command.kind = Command::kRefusedWord;
    command.word = std::move(first);
    command.error = error;
    return command;
  }
  if (strcmp(first, "--version") == 0) {
    command.kind = Command::kVersion;
    return command;
  }
  int extension = 1;
  if (strcmp(first, "--dry-run") == 0 || strcmp(first, "-n") == 0) {
    command.dry_run = true;
    extension = 2;
  } else if (strcmp(first, "--") == 0) {
    extension = 2;
  } else if (strncmp(first, "--", 2) == 0) {
    command.kind = Command::kUnknownOption;
    command.word = std::move(first);
    return command;
  }
  if (extension >= argc) return command;  // an option, and no extension
  if (extension == 1) {
    command.word = std::move(first);
  } else if (int error = ArgumentText(argv, extension, &command.word)) {
    command.kind = Command::kRefusedWord;
    command.error = error;
    return command;
  }
  command.kind = Command::kSweep;
  return command;
}

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
  // Someone watching sees each line before its file goes. In a dry run the
  // workers only read, and the sweep names each file in its place.
  if (workers) engine.Start(workers.get(), !options.watched && !sweep->dry_run);
  if (workers && options.beside_others) workers->StartOnlyBesideOthers();
  if (workers && options.as_if_busy) workers->StartAsIfBusy();
  if (workers && options.as_if_waiting) workers->ActAsWaiting();
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
  Command command = ReadCommandLine(argc, argv);
  switch (command.kind) {
    case Command::kSyntax:
      fputs(kSyntaxMessage, out);
      return 1;
    case Command::kHelp:
      fputs(kUsage, out);
      return 0;
    case Command::kVersion:
      fputs("zapext " ZAPEXT_VERSION "\n", out);
      return 0;
    case Command::kUnknownOption: {
      // The word may be long, so it goes out in pieces, as paths do.
      FileOutput file(out);
      Output* line = &file;
      line->Write("Unknown option ");
      line->Write(command.word, command.word.GetLength());
      line->Line("; to mean it as an extension: zapext -- ", command.word);
      return 1;
    }
    case Command::kRefusedWord:
      // Matched as typed, or not at all: a look-alike could match other names.
      FileOutput(out).Line("Unable to use the extension ", command.word, command.error);
      return 1;
    case Command::kSweep:
      break;
  }
  CString& wanted = command.word;

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
  sweep.dry_run = command.dry_run;
  uint32_t count = 0;
  try {
    count = Sweep(&sweep, directory, &wanted, options);
  } catch (const std::bad_alloc&) {
    // Before anything was removed: no thread to be had, nor room to start.
    fputs("Unable to go on: out of memory\n", out);
    sweep.failed = true;
  }
  fprintf(out, "%s %u files\n\n", sweep.dry_run ? "would remove" : "removed",
          static_cast<unsigned>(count));

  // A listing that never reached its reader is a failure too.
  if (fflush(out) != 0 || ferror(out)) sweep.failed = true;
  return sweep.failed || sweep.Interrupted() ? 2 : 0;
}
