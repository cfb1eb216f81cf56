// The Win32 file system, through the ANSI functions: every path is a full
// path of the active code page, limited to MAX_PATH.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "platform/file_system.h"

namespace {

// Codes that say the entry was gone before we got to it.
bool IsGone(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The outcome of a change to the file `name`. A Win32 path drops a name's
// trailing dots and spaces, so for such a name "not found" means that the
// file, still listed, cannot be reached: a failure, not a file that is gone.
int FileOutcome(DWORD error, const char* name) {
  size_t length = strlen(name);
  bool unreachable = length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ');
  return IsGone(error) && !unreachable ? kErrorGone : static_cast<int>(error);
}

class Win32Listing : public Listing {
 public:
  Win32Listing(HANDLE find, const WIN32_FIND_DATAA& first) : find_(find), data_(first) {}
  ~Win32Listing() override { FindClose(find_); }

  bool Read(DirEntry* entry) override {
    // The opening already brought the first entry.
    if (pending_) {
      pending_ = false;
    } else if (!FindNextFileA(find_, &data_)) {
      DWORD error = GetLastError();
      error_ = error == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(error);
      return false;
    }
    entry->name = data_.cFileName;
    entry->attributes = data_.dwFileAttributes;
    return true;
  }

  int error() const override { return error_; }

 private:
  HANDLE find_;
  WIN32_FIND_DATAA data_;
  bool pending_ = true;
  int error_ = 0;
};

class Win32FileSystem : public FileSystem {
 public:
  char separator() const override { return '\\'; }

  int CurrentDirectory(CString* directory) override {
    char buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
    // 0 is a failure; MAX_PATH or more is the size it would need, and the
    // buffer was left unfilled.
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (length == 0) {
      DWORD error = GetLastError();
      return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
    }
    *directory = CString(buffer, length);
    return 0;
  }

  std::unique_ptr<Listing> OpenListing(Listing*, const char*, const CString& path,
                                       int* error) override {
    // At a drive root the path already ends in a separator; it gets another.
    CString pattern = path + "\\*.*";
    WIN32_FIND_DATAA first;
    HANDLE find = FindFirstFileA(pattern, &first);
    if (find == INVALID_HANDLE_VALUE) {
      // Not found covers an empty drive root, which lists nothing at all.
      DWORD code = GetLastError();
      *error = IsGone(code) ? kErrorGone : static_cast<int>(code);
      return nullptr;
    }
    return std::unique_ptr<Listing>(new Win32Listing(find, first));
  }

  int SetAttributes(Listing*, const char* name, const CString& path,
                    uint32_t attributes) override {
    // An attribute word of 0 is not "no attributes" to every version of the
    // system; FILE_ATTRIBUTE_NORMAL is, and it must stand alone.
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    if (SetFileAttributesA(path, attributes)) return 0;
    return FileOutcome(GetLastError(), name);
  }

  int RemoveFile(Listing*, const char* name, const CString& path) override {
    if (remove(path) == 0) return 0;
    // Read before anything else can overwrite it.
    return FileOutcome(GetLastError(), name);
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static Win32FileSystem fs;
  return &fs;
}
