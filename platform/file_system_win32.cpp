// The Win32 file system. Every directory below the current one is opened as
// a handle relative to its parent's (NtCreateFile), without following a
// junction or link, and listed through that handle; every file is opened
// relative to its directory's handle and removed through its own. A name
// never travels inside a path, so neither a directory swapped for a junction
// nor a name that a path would read otherwise (a best-fit character, a
// trailing dot) can send the sweep anywhere else.
//
// Names reach the tool as text of the active ANSI code page, converted
// without best fit: a character the code page cannot hold exactly becomes
// '?'. The tool acts only on a text that names its entry exactly and that
// the Win32 path functions would reach as it is; any other is refused with
// ERROR_INVALID_NAME, so what the tool prints is always what it acted on.
#include <windows.h>
#include <string.h>
#include <winternl.h>

#include <memory>
#include <new>
#include <string>

#include "platform/code_page_win32.h"
#include "platform/file_system.h"
#include "platform/gone.h"
#include "platform/reparse_point.h"

// Lists a directory's entries; ntdll has it, winternl.h does not declare it.
extern "C" NTSYSAPI NTSTATUS NTAPI NtQueryDirectoryFile(
    HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context, PIO_STATUS_BLOCK io,
    PVOID entries, ULONG length, FILE_INFORMATION_CLASS kind, BOOLEAN single_entry,
    PUNICODE_STRING mask, BOOLEAN restart);

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

DWORD ErrorOf(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  return Win32Error(static_cast<uint32_t>(status), RtlNtStatusToDosError(status));
}

// Information about an open file, and changes to it, straight from ntdll:
// its status says what failed (wine's kernel32 loses some).
template <typename Info>
DWORD Query(HANDLE file, FILE_INFORMATION_CLASS kind, Info* info) {
  IO_STATUS_BLOCK io;
  return ErrorOf(NtQueryInformationFile(file, &io, info, sizeof *info, kind));
}

template <typename Info>
DWORD Change(HANDLE file, FILE_INFORMATION_CLASS kind, Info* info) {
  IO_STATUS_BLOCK io;
  return ErrorOf(NtSetInformationFile(file, &io, info, sizeof *info, kind));
}

// Whether the Win32 path functions reach a file by this name as it is: they
// drop trailing dots and spaces, and read these characters as separators,
// streams or wildcards. "." and ".." end in a dot.
bool IsPlainName(const wchar_t* name) {
  size_t length = wcslen(name);
  if (length == 0 || name[length - 1] == L'.' || name[length - 1] == L' ') return false;
  for (size_t at = 0; at < length; ++at) {
    if (name[at] < 0x20 || wcschr(L"\"*/:<>?\\|", name[at])) return false;
  }
  return true;
}

class Win32Listing : public Listing {
 public:
  explicit Win32Listing(HANDLE dir) : dir_(dir) {}
  ~Win32Listing() override { CloseHandle(dir_); }

  bool Read(DirEntry* entry) override {
    if (!next_ && !Fill()) return false;
    const FILE_ID_BOTH_DIR_INFO* read = next_;
    // Its name first: should there be no room for it, the entry is still
    // the next one, not passed over.
    AnsiText(read->FileName, static_cast<int>(read->FileNameLength / sizeof(WCHAR)), &name_);
    next_ = read->NextEntryOffset
                ? reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
                      reinterpret_cast<const char*>(read) + read->NextEntryOffset)
                : nullptr;
    entry->name = name_.c_str();
    entry->id = read->FileId.QuadPart;
    // With the reparse-point bit, EaSize holds the reparse tag.
    entry->attributes = ListedAttributes(read->FileAttributes, read->EaSize);
    return true;
  }

  int error() const override { return error_; }
  size_t Cost() const override {
    return sizeof *this + name_.capacity() + (block_ ? kBlockBytes : 0);
  }

  HANDLE handle() const { return dir_; }

 private:
  bool Fill() {
    if (ended_) return false;
    if (!block_) block_.reset(new ULONGLONG[kBlockBytes / sizeof(ULONGLONG)]);
    // Through ntdll: kernel32 would make a directory being removed "access
    // denied", which its status tells apart.
    IO_STATUS_BLOCK io;
    DWORD error = ErrorOf(NtQueryDirectoryFile(dir_, nullptr, nullptr, nullptr, &io, block_.get(),
                                               kBlockBytes, FileIdBothDirectoryInformation, FALSE,
                                               nullptr, FALSE));
    if (error == 0) {
      next_ = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(block_.get());
      return true;
    }
    error_ = ListingError(error);
    ended_ = true;
    block_.reset();  // the handle stays for removals; the entries are done
    return false;
  }

  static const DWORD kBlockBytes = 16 * 1024;

  HANDLE dir_;
  std::unique_ptr<ULONGLONG[]> block_;  // entries as read, 8-byte aligned
  const FILE_ID_BOTH_DIR_INFO* next_ = nullptr;
  bool ended_ = false;
  std::string name_;
  int error_ = 0;
};

// Opens the entry `name` of the listing `dir` as what it is, never what a
// junction or link there points to. Returns 0 or the error code.
DWORD OpenInside(Listing* dir, const char* name, ACCESS_MASK access, ULONG options,
                 HANDLE* handle) {
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wide, MAX_PATH) <= 0 ||
      !IsPlainName(wide))
    return ERROR_INVALID_NAME;
  UNICODE_STRING text;
  text.Buffer = wide;
  text.Length = text.MaximumLength = static_cast<USHORT>(wcslen(wide) * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, 0, static_cast<Win32Listing*>(dir)->handle(),
                             nullptr);
  IO_STATUS_BLOCK io;
  return ErrorOf(NtCreateFile(handle, access | SYNCHRONIZE, &object, &io, nullptr, 0, kShareAll,
                              FILE_OPEN, options | FILE_OPEN_REPARSE_POINT |
                              FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0));
}

// Whether the directory opened is the one listed: not a junction, link or
// mount point (what was listed as a directory may have been swapped for one
// since; any other reparse point is a directory to sweep) and,
// where the listing gave an id, the same directory; the id catches a link
// that was followed even so (wine follows them). Returns 0,
// ERROR_PATH_NOT_FOUND when it is not, or the error code.
DWORD CheckListed(HANDLE dir, ULONGLONG listed_id) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (DWORD error = Query(dir, FileAttributeTagInformation, &tag)) return error;
  if (LeadsElsewhere(tag.FileAttributes, tag.ReparseTag)) return ERROR_PATH_NOT_FOUND;
  if (listed_id == 0 || listed_id == ~0ULL) return 0;  // no id to compare
  FILE_INTERNAL_INFORMATION internal;
  if (DWORD error = Query(dir, FileInternalInformation, &internal)) return error;
  return static_cast<ULONGLONG>(internal.IndexNumber.QuadPart) == listed_id ? 0
                                                                            : ERROR_PATH_NOT_FOUND;
}

// Closes a handle when it goes out of scope.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() { CloseHandle(handle); }
};

// Whether a path, and `more` characters after it, passes MAX_PATH. Windows
// counts UTF-16 units, not the bytes of the code page.
bool TooLong(const CString& path, int more) {
  return path.GetLength() + more >= MAX_PATH &&
         WideLength(path, path.GetLength()) + more >= MAX_PATH;
}

// Opens the file `name` of `dir` for `access`. Returns 0, kErrorGone or the
// error code.
int OpenFile(Listing* dir, const char* name, const CString& path, ACCESS_MASK access,
             HANDLE* file) {
  // Only what the ANSI functions could reach, so every path printed is usable.
  if (TooLong(path, 0)) return ERROR_FILENAME_EXCED_RANGE;
  return GoneOrError(OpenInside(dir, name, access, FILE_NON_DIRECTORY_FILE, file));
}

DWORD SetAttributesOf(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFORMATION basic = {};  // times of 0 stay as they are
  // An attribute word of 0 is not "no attributes"; FILE_ATTRIBUTE_NORMAL is.
  basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return Change(file, FileBasicInformation, &basic);
}

DWORD MarkForDeletion(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFORMATION disposition = {remove};
  return Change(file, FileDispositionInformation, &disposition);
}

// Removes the open file: its name goes when the handle closes. A read-only
// file refuses that; it is released through the handle, and its attribute
// set back before the close when other links still reach it: attributes
// belong to the file, not to the name.
DWORD RemoveOpenFile(HANDLE file) {
  DWORD error = MarkForDeletion(file, true);
  FILE_BASIC_INFORMATION basic;
  if (error == 0 || Query(file, FileBasicInformation, &basic) != 0 ||
      !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
    return error;
  FILE_STANDARD_INFORMATION standard;
  bool linked = Query(file, FileStandardInformation, &standard) != 0 || standard.NumberOfLinks > 1;
  if (DWORD release = SetAttributesOf(file, basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY))
    return release;
  error = MarkForDeletion(file, true);
  if (error != 0 || linked) {
    if (DWORD restore = SetAttributesOf(file, basic.FileAttributes)) {
      // Rather the file kept and reported than its other links left writable.
      if (error == 0) {
        MarkForDeletion(file, false);
        error = restore;
      }
    }
  }
  return error;
}

class Win32FileSystem : public FileSystem {
 public:
  char separator() const override { return '\\'; }

  int CurrentDirectory(CString* directory) override {
    wchar_t wide[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, wide);
    // 0 is a failure; MAX_PATH or more is the size it would need, and the
    // buffer was left unfilled.
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (length == 0) {
      DWORD error = GetLastError();
      return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
    }
    std::string text;
    AnsiText(wide, static_cast<int>(length), &text);
    *directory = CString(text.data(), text.size());
    return 0;
  }

  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override {
    HANDLE dir = INVALID_HANDLE_VALUE;
    DWORD code = 0;
    if (TooLong(path, 4)) {
      // Only as deep as the ANSI functions could list (the path, "\*.*" and
      // its end within MAX_PATH), so every path printed is usable.
      code = ERROR_FILENAME_EXCED_RANGE;
    } else if (!parent && strchr(path, '?')) {
      // A character the code page cannot hold: refused as the same name
      // inside the tree would be ('?' is never a name's own, nor a trail byte).
      code = ERROR_INVALID_NAME;
    } else if (!parent) {
      dir = CreateFileW(L".", kListAccess, kShareAll, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (dir == INVALID_HANDLE_VALUE) code = GetLastError();
    } else {
      code = OpenInside(parent, entry->name, kListAccess, FILE_DIRECTORY_FILE, &dir);
      if (code == 0) {
        code = CheckListed(dir, entry->id);
        if (code != 0) CloseHandle(dir);
      }
    }
    if (code != 0) {
      *error = GoneOrError(code);
      return nullptr;
    }
    try {
      return std::unique_ptr<Listing>(new Win32Listing(dir));
    } catch (const std::bad_alloc&) {
      CloseHandle(dir);  // not left behind
      throw;
    }
  }

  int SetAttributes(Listing* dir, const char* name, const CString& path,
                    uint32_t attributes) override {
    HANDLE file;
    if (int error = OpenFile(dir, name, path, FILE_WRITE_ATTRIBUTES, &file)) return error;
    HandleCloser closer{file};
    return GoneOrError(SetAttributesOf(file, attributes));
  }

  int RemoveFile(Listing* dir, const char* name, const CString& path) override {
    HANDLE file;
    int error = OpenFile(dir, name, path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                         &file);
    // Where changing attributes is not allowed, removing may still be.
    if (error == ERROR_ACCESS_DENIED)
      error = OpenFile(dir, name, path, DELETE | FILE_READ_ATTRIBUTES, &file);
    if (error) return error;
    HandleCloser closer{file};
    return GoneOrError(RemoveOpenFile(file));
  }

  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path,
               Listing* dir) override {
    // By file id: the name, opened as what it is, and the handle held.
    HANDLE named = INVALID_HANDLE_VALUE;
    if (parent) {
      if (OpenInside(parent, entry.name, FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE, &named) != 0)
        return false;
    } else {
      wchar_t wide[MAX_PATH];
      if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH) <= 0)
        return false;
      named = CreateFileW(wide, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (named == INVALID_HANDLE_VALUE) return false;
    }
    HandleCloser closer{named};
    FILE_INTERNAL_INFORMATION name_id, held_id;
    if (Query(named, FileInternalInformation, &name_id) != 0 ||
        Query(static_cast<Win32Listing*>(dir)->handle(), FileInternalInformation, &held_id) != 0)
      return false;
    return name_id.IndexNumber.QuadPart == held_id.IndexNumber.QuadPart;
  }
};

}  // namespace

FileSystem* RealFileSystem() {
  static Win32FileSystem fs;
  return &fs;
}
