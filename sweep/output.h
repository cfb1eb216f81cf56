// Where the sweep's lines go: straight to the process's output, or, for files
// that worker threads remove, into text that waits for its turn.
#ifndef ZAPEXT_SWEEP_OUTPUT_H_
#define ZAPEXT_SWEEP_OUTPUT_H_

#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/cstring.h"
#include "platform/terminal.h"

class Output {
 public:
  virtual ~Output() = default;
  virtual void Write(const char* text, size_t length) = 0;
  void Write(const char* text) { Write(text, strlen(text)); }

  // "<head><path>\n", or "<head><path>, error <error>\n": every line the
  // sweep prints but the total. Written in pieces: a path may be longer than
  // any buffer a format would use.
  void Line(const char* head, const CString& path);
  void Line(const char* head, const CString& path, int error);
};

class FileOutput : public Output {
 public:
  // `watched`: a person reads the lines as they come, and each must reach
  // them before the sweep goes on (before the file it names is removed).
  explicit FileOutput(FILE* file, bool watched = false) : file_(file), watched_(watched) {}
  void Write(const char* text, size_t length) override {
    fwrite(text, 1, length, file_);
    if (watched_ && length > 0 && text[length - 1] == '\n') ShowWritten(file_);
  }

 private:
  FILE* file_;
  bool watched_;
};

class TextOutput : public Output {
 public:
  explicit TextOutput(std::string* text) : text_(text) {}
  void Write(const char* text, size_t length) override { text_->append(text, length); }

 private:
  std::string* text_;
};

inline void Output::Line(const char* head, const CString& path) {
  Write(head);
  Write(path, path.GetLength());
  Write("\n", 1);
}

inline void Output::Line(const char* head, const CString& path, int error) {
  char tail[32];
  Write(head);
  Write(path, path.GetLength());
  Write(tail, snprintf(tail, sizeof tail, ", error %d\n", error));
}

#endif  // ZAPEXT_SWEEP_OUTPUT_H_
