// The tool's text type: an owned, growable string of 8-bit characters that
// never holds a NUL inside. It offers only what the sweep needs.
#ifndef ZAPEXT_PLATFORM_CSTRING_H_
#define ZAPEXT_PLATFORM_CSTRING_H_

#include <string>

class CString {
 public:
  CString() = default;
  CString(const char* text) : text_(text) {}
  CString(const char* text, size_t length) : text_(text, length) {}

  int GetLength() const { return static_cast<int>(text_.size()); }
  operator const char*() const { return text_.c_str(); }

  CString& operator+=(const char* text) { text_ += text; return *this; }
  CString& operator+=(char c) { text_ += c; return *this; }

  // Makes room for `length` characters, so that growing to that length
  // allocates nothing; and how many there is room for.
  void Preallocate(int length) {
    if (length > 0) text_.reserve(static_cast<size_t>(length));
  }
  int GetAllocLength() const { return static_cast<int>(text_.capacity()); }

  // Cuts the text back to its first `length` characters; never lengthens it.
  void Truncate(int length) {
    if (length >= 0 && static_cast<size_t>(length) < text_.size()) text_.resize(length);
  }

  // Upper-cases in place, as the platform folds letters: ASCII a-z on POSIX,
  // the active ANSI code page on Windows. The length never changes.
  void MakeUpper();

  // Position of the last occurrence of `c`, or -1.
  int ReverseFind(char c) const {
    size_t at = text_.rfind(c);
    return at == std::string::npos ? -1 : static_cast<int>(at);
  }

  // The last `count` characters; the whole text when `count` reaches its length.
  CString Right(int count) const {
    if (count <= 0) return CString();
    size_t n = static_cast<size_t>(count);
    if (n >= text_.size()) return *this;
    return CString(text_.c_str() + text_.size() - n, n);
  }

  // Byte-wise equality: same length, same bytes.
  friend bool operator==(const CString& a, const CString& b) { return a.text_ == b.text_; }

 private:
  std::string text_;
};

inline CString operator+(CString a, const char* b) { return a += b; }
inline CString operator+(CString a, char b) { return a += b; }

#endif  // ZAPEXT_PLATFORM_CSTRING_H_
