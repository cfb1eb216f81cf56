// What each kind of volume answers to the requests the Windows file system
// makes in opening and listing directories, and what a sweep of
//   top.bak  a/x.bak  a/b/y.bak
// comes to on it. One table for the unit tests on any machine
// (volume_test.cpp) and for the Windows build run over it (win32/).
#ifndef ZAPEXT_TESTS_VOLUME_KINDS_H_
#define ZAPEXT_TESTS_VOLUME_KINDS_H_

#include <stdint.h>

#include <ostream>

#include "platform/volume.h"

enum VolumeIds { kIdsAgree, kIdsNone, kIdsDisagree };

// How a sweep treats the subdirectory "a": reported, it is
// "Unable to list ...\\a, error 1006" and status 2.
enum Subdirectory { kSwept, kPassedOver, kReported };

struct VolumeKind {
  const char* name;  // a test name
  // Its answer to the attribute-and-tag request, 0 when it answers it.
  uint32_t tag_status;
  // How many of kListingClasses, from the first, it turns down, and how.
  int classes_refused;
  uint32_t refusal;
  // The file ids its listing gives against those of the handles opened:
  // the same, none (0), or others.
  VolumeIds ids;
  // Opening "a" reaches another directory: a link that was followed (wine).
  bool link_followed;
  // Its listings give the entry "." no id.
  bool dot_without_id;
  // Asked again, the parent lists "a" as a link: one was swapped in.
  bool link_now;
  // The status with which the current directory's opening fails, or 0.
  uint32_t current_status;

  // What must come of it: the listing class used, and "a".
  int listing_class;
  Subdirectory subdirectory;
  bool current_gone;            // "Unable to read the current directory, error 2"
};

const VolumeKind kVolumeKinds[] = {
    {"NTFS", 0, 0, 0, kIdsAgree, false, false, false, 0, 0, kSwept, false},
    // FAT and exFAT do not answer FileAttributeTagInformation.
    {"FAT32", kNtInvalidParameter, 0, 0, kIdsAgree, false, false, false, 0, 0, kSwept, false},
    {"exFAT", kNtInvalidParameter, 0, 0, kIdsNone, false, false, false, 0, 0, kSwept, false},
    // Under Windows 7 FAT turns down the listing class with ids too.
    {"FAT32UnderWindows7", kNtInvalidParameter, 1, kNtInvalidParameter, kIdsAgree, false, false,
     false, 0, 1, kSwept, false},
    {"SmbRedirectorWithoutIds", 0, 1, kNtInvalidInfoClass, kIdsAgree, false, false, false, 0, 1,
     kSwept, false},
    {"RedirectorListingNamesOnly", kNtInvalidDeviceRequest, 2, kNtNotSupported, kIdsAgree, false,
     false, false, 0, 2, kSwept, false},
    // A user-mode file system whose listing and handles number files apart:
    // the handle's own "." tells it is the directory listed, or else the
    // parent asked again does. Reported, never passed over unseen.
    {"IdsDisagree", 0, 0, 0, kIdsDisagree, false, false, false, 0, 0, kReported, false},
    {"IdsDisagreeDotWithoutId", 0, 0, 0, kIdsDisagree, false, true, false, 0, 0, kReported, false},
    // A directory swapped for a link that wine followed: the handle's "."
    // tells another directory, or else the parent shows the link now.
    {"LinkFollowed", 0, 0, 0, kIdsAgree, true, false, false, 0, 0, kPassedOver, false},
    {"LinkSwappedIn", 0, 0, 0, kIdsAgree, true, true, true, 0, 0, kPassedOver, false},
    // Without a "." id, a link swapped back by the time the parent is asked
    // cannot be told from ids numbered apart: reported, still not swept.
    {"LinkSwappedBackDotWithoutId", 0, 0, 0, kIdsAgree, true, true, false, 0, 0, kReported, false},
    {"CurrentDirectoryDeletePending", 0, 0, 0, kIdsAgree, false, false, false, kNtDeletePending, 0,
     kSwept, true},
    {"CurrentDirectoryDeleted", 0, 0, 0, kIdsAgree, false, false, false, kNtFileDeleted, 0, kSwept,
     true},
};

// Named in test output by its name, not its bytes.
inline void PrintTo(const VolumeKind& volume, std::ostream* out) { *out << volume.name; }

#endif  // ZAPEXT_TESTS_VOLUME_KINDS_H_
