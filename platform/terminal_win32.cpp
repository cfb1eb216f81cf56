// Windows: on a console the stream's descriptor is turned into a pipe, whose
// far end a thread of our own reads, converts from the ANSI code page and
// writes to the console with WriteConsoleW. Everything that writes to the
// stream stays as it is, bytes through the C runtime.
#include "platform/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "platform/thread.h"

namespace {

struct Console {
  Console(HANDLE console, HANDLE pipe, int descriptor, int saved)
      : console(console), pipe(pipe), descriptor(descriptor), saved(saved) {}
  HANDLE console;
  HANDLE pipe;  // the end the thread reads
  int descriptor;  // the stream's
  int saved;  // the console's descriptor, set back at the end
  Thread thread;
  bool failed = false;
};

Console* shown = nullptr;

bool WriteWide(HANDLE console, const char* text, int length) {
  if (length == 0) return true;
  std::wstring wide(length, L'\0');
  int units = MultiByteToWideChar(CP_ACP, 0, text, length, &wide[0], length);
  // In pieces: older consoles refuse a large write.
  for (int at = 0; at < units;) {
    DWORD written = 0;
    DWORD piece = units - at < 8192 ? units - at : 8192;
    if (!WriteConsoleW(console, wide.data() + at, piece, &written, nullptr) || written == 0)
      return false;
    at += written;
  }
  return true;
}

// Converts whole lines only: a line feed is never part of a double-byte or
// UTF-8 character, so none is cut in two. Reads until the writing end closes.
void ShowLines(Console* c) {
  std::string pending;
  char block[16 * 1024];
  DWORD got;
  while (ReadFile(c->pipe, block, sizeof block, &got, nullptr) && got > 0) {
    pending.append(block, got);
    size_t end = pending.rfind('\n');
    if (end == std::string::npos) continue;
    if (!WriteWide(c->console, pending.data(), static_cast<int>(end + 1))) c->failed = true;
    pending.erase(0, end + 1);
  }
  // The rest, even without its line feed.
  if (!WriteWide(c->console, pending.data(), static_cast<int>(pending.size()))) c->failed = true;
}

void Show(void* console) {
  Console* c = static_cast<Console*>(console);
  // Out of memory here must not end the process from this thread: the
  // sweep's thread waits for it, to end the process itself.
  try {
    ShowLines(c);
  } catch (...) {
    c->failed = true;
  }
}

}  // namespace

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void ShowTextAsItIs(FILE* stream) {
  int descriptor = _fileno(stream);
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode;
  // A console, not a file, pipe or NUL (which is a character device too).
  if (shown || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return;
  HANDLE read, write;
  if (!CreatePipe(&read, &write, nullptr, 64 * 1024)) return;
  // The stream's own handle closes when its descriptor is redirected: the
  // thread writes through the copy that waits to be set back.
  int saved = _dup(descriptor);
  if (saved >= 0) console = reinterpret_cast<HANDLE>(_get_osfhandle(saved));
  int pipe = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_TEXT);
  Console* c = new Console(console, read, descriptor, saved);
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
    if (saved >= 0) _close(saved);
    delete c;
    return;
  }
  _close(pipe);
  // The runtime buffers what is not a terminal; each line must go at once.
  setvbuf(stream, nullptr, _IONBF, 0);
  shown = c;
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
  bool written = !shown->failed;
  delete shown;
  shown = nullptr;
  return flushed && written;
}
