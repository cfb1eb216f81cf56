// What the Windows file system makes of the answers a volume gives: which
// refusals mean "this file system does not know that request", which
// listing classes to try in turn, and what a directory opened that is not
// the one listed means. Plain functions on the numbers, apart from
// file_system_win32.cpp so that the unit tests check them on any machine.
#ifndef ZAPEXT_PLATFORM_VOLUME_H_
#define ZAPEXT_PLATFORM_VOLUME_H_

#include <stdint.h>

#include "platform/gone.h"

// NTSTATUS values with which a file system turns down a request it does not
// implement. FAT and exFAT answer the attribute-and-tag query so, some
// redirectors and FAT under Windows 7 the listing class with file ids.
const uint32_t kNtNotImplemented = 0xC0000002;        // STATUS_NOT_IMPLEMENTED
const uint32_t kNtInvalidInfoClass = 0xC0000003;      // STATUS_INVALID_INFO_CLASS
const uint32_t kNtInvalidParameter = 0xC000000D;      // STATUS_INVALID_PARAMETER
const uint32_t kNtInvalidDeviceRequest = 0xC0000010;  // STATUS_INVALID_DEVICE_REQUEST
const uint32_t kNtNotSupported = 0xC00000BB;          // STATUS_NOT_SUPPORTED

// Whether `status` says the file system does not answer that kind of
// request at all, rather than that this file failed.
inline bool RequestNotAnswered(uint32_t status) {
  return status == kNtNotImplemented || status == kNtInvalidInfoClass ||
         status == kNtInvalidParameter || status == kNtInvalidDeviceRequest ||
         status == kNtNotSupported;
}

// A class of directory listing: its FILE_INFORMATION_CLASS number and where
// each record keeps the name and the file id (0: it has none). The
// attributes (at 56), the name's length in bytes (60) and, for a reparse
// point, its tag (64) lie at the same place in each.
struct ListingClass {
  uint32_t info_class;
  uint32_t name_offset;
  uint32_t id_offset;
};

const uint32_t kRecordNextOffset = 0;
const uint32_t kRecordAttributes = 56;
const uint32_t kRecordNameLength = 60;
const uint32_t kRecordReparseTag = 64;

// Tried in this order: with ids first; where the file system turns that
// down, FileBothDirectoryInformation, which every Windows file system
// answers, then FileFullDirectoryInformation.
constexpr ListingClass kListingClasses[] = {{37, 104, 96}, {3, 94, 0}, {2, 68, 0}};
const int kListingClassCount = 3;

// The class a listing asks for after class `tried` failed with `status`
// before it gave a single entry, or -1 when there is none to try: the
// failure was not a refusal of the class, or none is left.
inline int NextListingClass(int tried, uint32_t status) {
  return RequestNotAnswered(status) && tried + 1 < kListingClassCount ? tried + 1 : -1;
}

// ERROR_FILE_INVALID: the directory opened is the one listed, but the file
// system numbers it apart in its listing and through its handle. What keeps
// the sweep in the tree rests on those ids agreeing: reported, not swept.
const uint32_t kWin32FileInvalid = 1006;

// Whether a listing gave an id at all (a class without ids gives 0, some
// file systems all ones).
inline bool IsFileId(uint64_t id) { return id != 0 && id != ~0ULL; }

// What the parent, asked again about the name of a directory whose handle
// gave another id than the listing, says of it now.
enum NameNow {
  kNameGone,            // no such entry, or no directory any more
  kNameLeadsElsewhere,  // a link, junction or mount point
  kNameOtherId,         // another directory, swapped in since
  kNameAsListed,        // the plain directory with the id listed, or unknown
};

// What opening a listed directory comes to, given the id the listing gave
// (`listed`) and the id of the handle opened (`opened`): 0 to list it. Where they differ, which
// directory the handle is on decides: `own`, the id the handle's own
// listing gives its "." entry (0 when it gives none), numbered as `listed`
// is; without it, `now`, what the parent says of the name when asked again.
// Another directory (wine follows links, so a directory swapped for a link
// is opened as its target) is kWin32PathNotFound, passed over as a link is;
// the listed one, numbered apart, kWin32FileInvalid, reported.
inline uint32_t OpenedAsListed(uint64_t listed, uint64_t opened, uint64_t own, NameNow now) {
  if (!IsFileId(listed) || opened == listed) return 0;
  bool same = IsFileId(own) ? own == listed : now == kNameAsListed;
  return same ? kWin32FileInvalid : kWin32PathNotFound;
}

// Whether a character (a UTF-16 unit) may stand in a Windows name: no
// control character, nor one that paths read as a separator, a stream or a
// wildcard. '?' also stands for a character the code page cannot hold.
inline bool IsNameCharacter(uint32_t c) {
  if (c < 0x20) return false;
  for (const char* no = "\"*/:<>?\\|"; *no; ++no)
    if (c == static_cast<unsigned char>(*no)) return false;
  return true;
}

// The Win32 code CurrentDirectory gives for the current directory's own
// opening that failed with `error`: where it is gone (or being removed), as
// a current directory removed on POSIX reads, ERROR_FILE_NOT_FOUND; else 0,
// the sweep then reporting what listing it meets.
inline uint32_t CurrentDirectoryError(uint32_t error) {
  return GoneOrError(error) == kErrorGone ? kWin32FileNotFound : 0;
}

#endif  // ZAPEXT_PLATFORM_VOLUME_H_
