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
#include <stddef.h>
#include <string.h>
#include <winternl.h>

#include <memory>
#include <new>
#include <string>

#include "platform/code_page_win32.h"
#include "platform/file_system.h"
#include "platform/gone.h"
#include "platform/nt_calls_win32.h"
#include "platform/reparse_point.h"
#include "platform/volume.h"

const NtCalls kSystemNtCalls = {NtCreateFile, NtQueryInformationFile, NtQueryDirectoryFile};

// Where each listing class keeps what is read of it, as its structure lays it
// out (FILE_BOTH_DIR_INFO has none in the headers: FileName follows the
// 24-byte ShortName at 70).
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileId) == kListingClasses[0].id_offset &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, FileName) == kListingClasses[0].name_offset &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, ShortName) + 24 ==
                      kListingClasses[1].name_offset &&
                  offsetof(FILE_FULL_DIR_INFO, FileName) == kListingClasses[2].name_offset,
              "listing records laid out as Windows lays them out");
static_assert(offsetof(FILE_FULL_DIR_INFO, FileAttributes) == kRecordAttributes &&
                  offsetof(FILE_FULL_DIR_INFO, FileNameLength) == kRecordNameLength &&
                  offsetof(FILE_FULL_DIR_INFO, EaSize) == kRecordReparseTag &&
                  offsetof(FILE_ID_BOTH_DIR_INFO, EaSize) == kRecordReparseTag,
              "listing records laid out as Windows lays them out");
static_assert(FileIdBothDirectoryInformation == 37 && FileBothDirectoryInformation == 3 &&
                  FileFullDirectoryInformation == 2,
              "listing classes numbered as Windows numbers them");

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
NTSTATUS QueryStatus(const NtCalls& nt, HANDLE file, FILE_INFORMATION_CLASS kind, Info* info) {
  IO_STATUS_BLOCK io;
  return nt.query_information(file, &io, info, sizeof *info, kind);
}

template <typename Info>
DWORD Query(HANDLE file, FILE_INFORMATION_CLASS kind, Info* info) {
  return ErrorOf(QueryStatus(kSystemNtCalls, file, kind, info));
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
    if (!IsNameCharacter(name[at])) return false;
  }
  return true;
}

// Reads the field at `offset` of a listing record.
template <typename Field>
Field FieldOf(const char* record, uint32_t offset) {
  Field field;
  memcpy(&field, record + offset, sizeof field);
  return field;
}

class Win32Listing : public Listing {
 public:
  Win32Listing(const NtCalls* nt, HANDLE dir) : nt_(nt), dir_(dir) {}
  ~Win32Listing() override { CloseHandle(dir_); }

  bool Read(DirEntry* entry) override {
    if (!next_ && !Fill()) return false;
    const char* read = next_;
    const ListingClass& kind = kListingClasses[class_];
    // Its name first: should there be no room for it, the entry is still
    // the next one, not passed over.
    // (Names start at an even offset of a record aligned to 8.)
    AnsiText(reinterpret_cast<const WCHAR*>(read + kind.name_offset),
             static_cast<int>(FieldOf<ULONG>(read, kRecordNameLength) / sizeof(WCHAR)), &name_);
    ULONG next = FieldOf<ULONG>(read, kRecordNextOffset);
    next_ = next ? read + next : nullptr;
    entry->name = name_.c_str();
    entry->id = kind.id_offset ? FieldOf<ULONGLONG>(read, kind.id_offset) : 0;
    // With the reparse-point bit, EaSize holds the reparse tag.
    entry->attributes =
        ListedAttributes(FieldOf<ULONG>(read, kRecordAttributes), FieldOf<ULONG>(read, kRecordReparseTag));
    return true;
  }

  int error() const override { return error_; }
  size_t Cost() const override {
    return sizeof *this + name_.capacity() + (block_ ? kBlockBytes : 0);
  }

  HANDLE handle() const { return dir_; }
  const NtCalls& nt() const { return *nt_; }

 private:
  bool Fill() {
    if (ended_) return false;
    if (!block_) block_.reset(new ULONGLONG[kBlockBytes / sizeof(ULONGLONG)]);
    // Through ntdll: kernel32 would make a directory being removed "access
    // denied", which its status tells apart.
    NTSTATUS status;
    for (;;) {
      IO_STATUS_BLOCK io;
      status = nt_->query_directory(dir_, nullptr, nullptr, nullptr, &io, block_.get(), kBlockBytes,
                                    static_cast<FILE_INFORMATION_CLASS>(
                                        kListingClasses[class_].info_class),
                                    FALSE, nullptr, !started_);
      // A file system that does not list with file ids (some redirectors,
      // FAT under Windows 7) is listed without: the handle itself is what
      // the opening checks.
      int next = started_ ? -1 : NextListingClass(class_, static_cast<uint32_t>(status));
      if (next < 0) break;
      class_ = next;
    }
    started_ = true;
    DWORD error = ErrorOf(status);
    if (error == 0) {
      next_ = reinterpret_cast<const char*>(block_.get());
      return true;
    }
    error_ = ListingError(error);
    ended_ = true;
    block_.reset();  // the handle stays for removals; the entries are done
    return false;
  }

  static const DWORD kBlockBytes = 16 * 1024;

  const NtCalls* nt_;
  HANDLE dir_;
  std::unique_ptr<ULONGLONG[]> block_;  // entries as read, 8-byte aligned
  const char* next_ = nullptr;
  int class_ = 0;         // of kListingClasses
  bool started_ = false;  // a class was answered
  bool ended_ = false;
  std::string name_;
  int error_ = 0;
};

// An entry's name as the NT calls take it.
struct NtName {
  wchar_t wide[MAX_PATH];
  UNICODE_STRING text;
};

// Makes `nt` the name `name`. Returns 0, or ERROR_INVALID_NAME when the
// Win32 path functions would not reach a file by it as it is.
DWORD ToNtName(const char* name, NtName* nt) {
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, nt->wide, MAX_PATH) <= 0 ||
      !IsPlainName(nt->wide))
    return ERROR_INVALID_NAME;
  nt->text.Buffer = nt->wide;
  nt->text.Length = nt->text.MaximumLength =
      static_cast<USHORT>(wcslen(nt->wide) * sizeof(wchar_t));
  return 0;
}

// Opens the entry `name` of the listing `dir` as what it is, never what a
// junction or link there points to. Returns 0 or the error code.
DWORD OpenInside(Listing* dir, const char* name, ACCESS_MASK access, ULONG options,
                 HANDLE* handle) {
  NtName text;
  if (DWORD error = ToNtName(name, &text)) return error;
  OBJECT_ATTRIBUTES object;
  Win32Listing* parent = static_cast<Win32Listing*>(dir);
  InitializeObjectAttributes(&object, &text.text, 0, parent->handle(), nullptr);
  IO_STATUS_BLOCK io;
  return ErrorOf(parent->nt().create_file(handle, access | SYNCHRONIZE, &object, &io, nullptr, 0,
                                          kShareAll, FILE_OPEN,
                                          options | FILE_OPEN_REPARSE_POINT |
                                              FILE_SYNCHRONOUS_IO_NONALERT,
                                          nullptr, 0));
}

// Closes a handle when it goes out of scope.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() { CloseHandle(handle); }
};

// The first entries of the directory `dir` in the listing class with ids,
// or filtered by `name`, into `block`. Returns the NT status.
NTSTATUS ListFirst(const NtCalls& nt, HANDLE dir, PUNICODE_STRING name, ULONGLONG* block,
                   ULONG bytes) {
  IO_STATUS_BLOCK io;
  return nt.query_directory(dir, nullptr, nullptr, nullptr, &io, block, bytes,
                            static_cast<FILE_INFORMATION_CLASS>(kListingClasses[0].info_class),
                            FALSE, name, TRUE);
}

// The id that the listing of the directory `dir` gives its own "." entry,
// numbered as its parent's listing numbers its entries; 0 when it gives
// none. Read only where the ids differed: `dir` is not listed after.
ULONGLONG OwnListedId(const NtCalls& nt, HANDLE dir) {
  ULONGLONG block[128];  // "." comes first; a few entries are enough
  if (!NT_SUCCESS(ListFirst(nt, dir, nullptr, block, sizeof block))) return 0;
  const ListingClass& kind = kListingClasses[0];
  for (const char* at = reinterpret_cast<const char*>(block);;) {
    ULONG length = FieldOf<ULONG>(at, kRecordNameLength);
    WCHAR first = FieldOf<WCHAR>(at, kind.name_offset);
    if (length == sizeof(WCHAR) && first == L'.') return FieldOf<ULONGLONG>(at, kind.id_offset);
    ULONG next = FieldOf<ULONG>(at, kRecordNextOffset);
    if (!next) return 0;
    at += next;
  }
}

// What the listing `parent` says of the entry `name` now, asked through a
// handle of its own: the listing's is part way through its entries.
NameNow AskAgain(Win32Listing* parent, PUNICODE_STRING name, ULONGLONG listed_id) {
  const NtCalls& nt = parent->nt();
  UNICODE_STRING same = {0, 0, nullptr};  // no name: the parent itself, opened anew
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &same, 0, parent->handle(), nullptr);
  IO_STATUS_BLOCK io;
  HANDLE dir;
  if (!NT_SUCCESS(nt.create_file(&dir, kListAccess, &object, &io, nullptr, 0, kShareAll,
                                 FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT |
                                     FILE_SYNCHRONOUS_IO_NONALERT,
                                 nullptr, 0)))
    return kNameAsListed;  // nothing learnt: reported
  HandleCloser closer{dir};
  ULONGLONG block[128];
  DWORD error = ErrorOf(ListFirst(nt, dir, name, block, sizeof block));
  if (error == kWin32NoMoreFiles || GoneOrError(error) == kErrorGone) return kNameGone;
  if (error != 0) return kNameAsListed;
  const char* record = reinterpret_cast<const char*>(block);
  ULONG attributes = FieldOf<ULONG>(record, kRecordAttributes);
  if (LeadsElsewhere(attributes, FieldOf<ULONG>(record, kRecordReparseTag)))
    return kNameLeadsElsewhere;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return kNameGone;
  return FieldOf<ULONGLONG>(record, kListingClasses[0].id_offset) == listed_id ? kNameAsListed
                                                                               : kNameOtherId;
}

// Whether the directory `dir`, opened as `name` from the listing `parent`,
// is the one listed: not a junction, link or mount point (what was listed
// as a directory may have been swapped for one since; any other reparse
// point is a directory to sweep) and, where the listing gave an id, the
// same directory; the id catches a link that was followed even so (wine
// follows them). Returns 0, ERROR_PATH_NOT_FOUND when it is another,
// ERROR_FILE_INVALID when it is the one listed but numbered apart, or the
// error code.
DWORD CheckListed(Win32Listing* parent, const char* name, HANDLE dir, ULONGLONG listed_id) {
  const NtCalls& nt = parent->nt();
  FILE_ATTRIBUTE_TAG_INFO tag;
  NTSTATUS status = QueryStatus(nt, dir, FileAttributeTagInformation, &tag);
  if (RequestNotAnswered(static_cast<uint32_t>(status))) {
    // FAT and exFAT know no reparse points, nor this request: the attributes
    // are all there is to ask.
    FILE_BASIC_INFORMATION basic;
    status = QueryStatus(nt, dir, FileBasicInformation, &basic);
    tag.FileAttributes = basic.FileAttributes;
    tag.ReparseTag = 0;
  }
  if (DWORD error = ErrorOf(status)) return error;
  if (LeadsElsewhere(tag.FileAttributes, tag.ReparseTag)) return ERROR_PATH_NOT_FOUND;
  if (!IsFileId(listed_id)) return 0;  // no id to compare
  FILE_INTERNAL_INFORMATION internal;
  status = QueryStatus(nt, dir, FileInternalInformation, &internal);
  if (RequestNotAnswered(static_cast<uint32_t>(status))) return 0;  // no id to compare
  if (DWORD error = ErrorOf(status)) return error;
  ULONGLONG opened = internal.IndexNumber.QuadPart;
  if (opened == listed_id) return 0;
  // Which directory the handle is on: its own "." says, numbered as the
  // listing numbers, whatever becomes of the name meanwhile. Only without
  // it is the parent asked again, which a name swapped twice could fool.
  ULONGLONG own = OwnListedId(nt, dir);
  NameNow now = kNameAsListed;
  if (!IsFileId(own)) {
    NtName text;
    if (DWORD error = ToNtName(name, &text)) return error;
    now = AskAgain(parent, &text.text, listed_id);
  }
  return OpenedAsListed(listed_id, opened, own, now);
}

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

// Opens the current directory for listing. Through ntdll, as the
// subdirectories are: kernel32 would make one being removed "access denied".
DWORD OpenCurrent(const NtCalls& nt, HANDLE* dir) {
  UNICODE_STRING path;
  if (!RtlDosPathNameToNtPathName_U(L".", &path, nullptr, nullptr)) return ERROR_NOT_ENOUGH_MEMORY;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  DWORD error = ErrorOf(nt.create_file(dir, kListAccess, &object, &io, nullptr, 0, kShareAll,
                                       FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                           FILE_OPEN_FOR_BACKUP_INTENT,
                                       nullptr, 0));
  RtlFreeUnicodeString(&path);
  return error;
}

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const NtCalls* nt) : nt_(nt) {}

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
    // Windows keeps the path of a current directory that is being removed,
    // or was: it is reported as a removed one is on POSIX.
    HANDLE dir;
    DWORD error = OpenCurrent(*nt_, &dir);
    if (error == 0) CloseHandle(dir);
    if (DWORD gone = CurrentDirectoryError(error)) return static_cast<int>(gone);
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
      code = OpenCurrent(*nt_, &dir);
    } else {
      code = OpenInside(parent, entry->name, kListAccess, FILE_DIRECTORY_FILE, &dir);
      if (code == 0) {
        code = CheckListed(static_cast<Win32Listing*>(parent), entry->name, dir, entry->id);
        if (code != 0) CloseHandle(dir);
      }
    }
    if (code != 0) {
      *error = GoneOrError(code);
      return nullptr;
    }
    try {
      return std::unique_ptr<Listing>(new Win32Listing(nt_, dir));
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

  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir,
               bool) override {
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
    if (QueryStatus(*nt_, named, FileInternalInformation, &name_id) != 0 ||
        QueryStatus(*nt_, static_cast<Win32Listing*>(dir)->handle(), FileInternalInformation,
                    &held_id) != 0)
      return false;
    return name_id.IndexNumber.QuadPart == held_id.IndexNumber.QuadPart;
  }

 private:
  const NtCalls* nt_;
};

}  // namespace

FileSystem* RealFileSystem() {
  static Win32FileSystem fs(&kSystemNtCalls);
  return &fs;
}

std::unique_ptr<FileSystem> NewWin32FileSystem(const NtCalls* calls) {
  return std::unique_ptr<FileSystem>(new Win32FileSystem(calls));
}
