// Which failures of the Windows file system say that the entry is gone:
// plain functions on the codes, apart from file_system_win32.cpp so that
// the unit tests check them on any machine.
#ifndef ZAPEXT_PLATFORM_GONE_H_
#define ZAPEXT_PLATFORM_GONE_H_

#include <stdint.h>

#include "platform/file_system.h"

// Win32 error codes and NTSTATUS values, as Windows numbers them.
const uint32_t kWin32FileNotFound = 2;         // ERROR_FILE_NOT_FOUND
const uint32_t kWin32PathNotFound = 3;         // ERROR_PATH_NOT_FOUND
const uint32_t kWin32NoMoreFiles = 18;         // ERROR_NO_MORE_FILES
const uint32_t kWin32NotADirectory = 267;      // ERROR_DIRECTORY
const uint32_t kWin32DeletePending = 303;      // ERROR_DELETE_PENDING
const uint32_t kNtDeletePending = 0xC0000056;  // STATUS_DELETE_PENDING
const uint32_t kNtFileDeleted = 0xC0000123;    // STATUS_FILE_DELETED

// The Win32 code for the failed status `status` of an NT call, `mapped`
// being ntdll's own mapping of it. An entry that another process is
// removing, or removed while we held it open, is as good as gone; ntdll
// would make either "access denied", a real failure.
inline uint32_t Win32Error(uint32_t status, uint32_t mapped) {
  return status == kNtDeletePending || status == kNtFileDeleted ? kWin32DeletePending : mapped;
}

// What the sweep is told of the Win32 code `error`, for a file or a
// directory alike: kErrorGone when nothing (any more) goes by that name, or
// it is no directory (any more), or it is being removed; else the code.
inline int GoneOrError(uint32_t error) {
  bool gone = error == kWin32FileNotFound || error == kWin32PathNotFound ||
              error == kWin32NotADirectory || error == kWin32DeletePending;
  return gone ? kErrorGone : static_cast<int>(error);
}

// What a listing that stopped on the Win32 code `error` reports: 0 at its
// end (a drive root with nothing in it has not even a first entry: "not
// found"), and when the directory is gone; else the code.
inline int ListingError(uint32_t error) {
  return error == kWin32NoMoreFiles || GoneOrError(error) == kErrorGone ? 0
                                                                         : static_cast<int>(error);
}

#endif  // ZAPEXT_PLATFORM_GONE_H_
