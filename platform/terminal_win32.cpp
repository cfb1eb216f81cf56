// Windows: on a console the stream's descriptor is turned into a pipe, whose
// far end a thread of our own reads, converts from the ANSI code page and
// writes to the console with WriteConsoleW. Everything that writes to the
// stream stays as it is, bytes through the C runtime.
#include "platform/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string.h>

#include "platform/thread.h"

namespace {

// What the thread takes from the pipe at a time, and converts at a time. The
// thread allocates nothing: short of memory, it still shows every line.
const DWORD kBlock = 8 * 1024;

struct Console {
  Console(HANDLE console, HANDLE pipe, HANDLE reached, int descriptor, int saved)
      : console(console), pipe(pipe), reached(reached), descriptor(descriptor), saved(saved) {}
  HANDLE console;
  HANDLE pipe;  // the end the thread reads
  HANDLE reached;  // set when the thread has shown all before a mark
  int descriptor;  // the stream's
  int saved;  // the console's descriptor, set back at the end
  Thread thread;
  bool failed = false;
};

Console* shown = nullptr;

// Written after a line when the writer waits for it to be shown. No text of
// ours holds a NUL: a path cannot.
const char kMark = '\0';

void WriteWide(Console* c, const char* text, DWORD length) {
  if (length == 0) return;
  // A byte of any code page makes at most one UTF-16 unit.
  wchar_t wide[kBlock];
  int units = MultiByteToWideChar(CP_ACP, 0, text, length, wide, kBlock);
  // In pieces: older consoles refuse a large write.
  for (int at = 0; at < units;) {
    DWORD written = 0;
    DWORD piece = units - at < 4096 ? units - at : 4096;
    if (!WriteConsoleW(c->console, wide + at, piece, &written, nullptr) || written == 0) {
      c->failed = true;
      return;
    }
    at += written;
  }
}

// Where a piece of a line longer than the block may end: before its last
// character, which the block may have cut. `text` starts a character.
// (KERNEL32 alone: CharPrevExA would load USER32.)
DWORD CutBefore(const char* text, DWORD length) {
  DWORD last = 0;
  if (GetACP() == CP_UTF8) {
    for (last = length - 1; last > 0 && (text[last] & 0xC0) == 0x80;) --last;
  } else {
    for (DWORD at = 0; at < length; at += IsDBCSLeadByteEx(CP_ACP, text[at]) ? 2 : 1) last = at;
  }
  return last > 0 ? last : length;
}

// Converts whole lines only: a line feed is never part of a double-byte or
// UTF-8 character, so none is cut in two. At a mark, tells the writer that
// all before it is on the console. Reads until the writing end closes.
void Show(void* console) {
  Console* c = static_cast<Console*>(console);
  char text[kBlock];
  DWORD held = 0;  // the start of a line whose end has not come yet
  DWORD got;
  while (ReadFile(c->pipe, text + held, kBlock - held, &got, nullptr) && got > 0) {
    DWORD end = held + got, from = 0;
    for (DWORD at = held; at < end; ++at) {
      if (text[at] != kMark) continue;
      WriteWide(c, text + from, at - from);
      SetEvent(c->reached);
      from = at + 1;
    }
    DWORD last = end;
    while (last > from && text[last - 1] != '\n') --last;
    // A line longer than the block goes in pieces.
    if (last == from && end - from == kBlock) last = from + CutBefore(text + from, end - from);
    WriteWide(c, text + from, last - from);
    held = end - last;
    memmove(text, text + last, held);
  }
  // The rest, even without its line feed.
  WriteWide(c, text, held);
}

}  // namespace

// A console, not any character device: NUL is one too, and nobody reads it.
bool IsTerminal(FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void ShowTextAsItIs(FILE* stream) {
  if (shown || !IsTerminal(stream)) return;
  int descriptor = _fileno(stream);
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  HANDLE read, write;
  HANDLE reached = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!reached) return;
  if (!CreatePipe(&read, &write, nullptr, 64 * 1024)) {
    CloseHandle(reached);
    return;
  }
  // The stream's own handle closes when its descriptor is redirected: the
  // thread writes through the copy that waits to be set back.
  int saved = _dup(descriptor);
  if (saved >= 0) console = reinterpret_cast<HANDLE>(_get_osfhandle(saved));
  int pipe = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_TEXT);
  Console* c = new Console(console, read, reached, descriptor, saved);
  if (saved < 0 || pipe < 0 || !c->thread.Start(64 * 1024, Show, c) ||
      fflush(stream) != 0 || _dup2(pipe, descriptor) != 0) {
    // The console as it was: the bytes as they are.
    if (pipe >= 0) {
      _close(pipe);
    } else {
      CloseHandle(write);
    }
    c->thread.Join();  // ends with the pipe closed
    CloseHandle(read);
    CloseHandle(reached);
    if (saved >= 0) _close(saved);
    delete c;
    return;
  }
  _close(pipe);
  // The runtime buffers what is not a terminal; each line must go at once.
  setvbuf(stream, nullptr, _IONBF, 0);
  shown = c;
}

void ShowWritten(FILE* stream) {
  fflush(stream);
  if (!shown || _fileno(stream) != shown->descriptor) return;
  if (_write(shown->descriptor, &kMark, 1) == 1) WaitForSingleObject(shown->reached, INFINITE);
}

bool FlushToTheEnd(FILE* stream) {
  bool flushed = fflush(stream) == 0;
  if (!shown) return flushed;
  // Back on the console, the pipe's writing end closes; the thread shows
  // what is left in it and ends.
  _dup2(shown->saved, shown->descriptor);
  shown->thread.Join();
  _close(shown->saved);  // the thread's handle to the console
  CloseHandle(shown->pipe);
  CloseHandle(shown->reached);
  bool written = !shown->failed;
  delete shown;
  shown = nullptr;
  return flushed && written;
}
