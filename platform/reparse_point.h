// Which reparse points the Windows sweep passes over: a plain function on
// the listing's data, apart from file_system_win32.cpp so that the unit
// tests check it on any machine.
#ifndef ZAPEXT_PLATFORM_REPARSE_POINT_H_
#define ZAPEXT_PLATFORM_REPARSE_POINT_H_

#include <stdint.h>

#include "platform/file_system.h"

// The bit of a reparse tag that says the entry stands for another place:
// symbolic links, junctions and mount points carry it; cloud-file
// placeholders (OneDrive), virtualised (ProjFS) or deduplicated folders
// hold their own entries and do not.
const uint32_t kReparseTagNameSurrogate = 0x20000000;

// Whether an entry with the attribute word `attributes` and the reparse tag
// `tag` leads elsewhere. A tag of 0 is no tag at all (wine gives none for
// its links): the reparse-point bit alone then decides, on the safe side.
inline bool LeadsElsewhere(uint32_t attributes, uint32_t tag) {
  return (attributes & kAttrReparsePoint) && (tag == 0 || (tag & kReparseTagNameSurrogate));
}

// The attribute word the sweep gets for a listed entry. The reparse-point
// bit stays only where the entry leads elsewhere: the sweep passes those
// over and sweeps every other directory. Read-only is left out: removing
// releases it through the file's own handle, where a release by name would
// leave it off for the file's other links.
inline uint32_t ListedAttributes(uint32_t attributes, uint32_t tag) {
  uint32_t listed = attributes & ~kAttrReadOnly;
  return LeadsElsewhere(attributes, tag) ? listed : listed & ~kAttrReparsePoint;
}

#endif  // ZAPEXT_PLATFORM_REPARSE_POINT_H_
