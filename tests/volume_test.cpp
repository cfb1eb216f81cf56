// The Windows file system's decisions on what each kind of volume answers,
// on any machine: which listing class it ends up listing with, whether a
// directory's attributes can be had, what opening "a" comes to, and what a
// current directory that failed to open reads as. The Windows build runs
// the same table through its real sweep under wine (win32/volume_test.cpp).
#include <gtest/gtest.h>

#include "platform/gone.h"
#include "platform/reparse_point.h"
#include "platform/volume.h"
#include "tests/volume_kinds.h"

namespace {

class VolumeTest : public testing::TestWithParam<VolumeKind> {};

TEST_P(VolumeTest, Decisions) {
  const VolumeKind& volume = GetParam();

  // The listing: classes tried in turn while the volume turns them down.
  int used = 0;
  while (used >= 0 && used < volume.classes_refused) used = NextListingClass(used, volume.refusal);
  EXPECT_EQ(volume.listing_class, used);
  // Whatever turns the listing down is no refusal of a class: not retried.
  EXPECT_EQ(-1, NextListingClass(used, kNtDeletePending));
  EXPECT_EQ(-1, NextListingClass(used, 0xC0000022));  // STATUS_ACCESS_DENIED

  // A directory's attributes: asked again in the request every file system
  // answers when the volume does not answer the one with the tag.
  EXPECT_TRUE(volume.tag_status == 0 || RequestNotAnswered(volume.tag_status));

  // Opening "a": its listed id (none from a class without ids) against the
  // handle's; where they differ, the id the handle's own listing gives ".",
  // numbered as the listing numbers (that of a link's target where one was
  // followed), or else what the parent says of "a" now.
  uint64_t listed = kListingClasses[used].id_offset && volume.ids != kIdsNone ? 0x1234 : 0;
  uint64_t opened = volume.ids == kIdsDisagree || volume.link_followed ? 0x5678 : 0x1234;
  uint64_t own = volume.dot_without_id ? 0 : volume.link_followed ? 0x9ABC : listed;
  NameNow now = volume.link_now ? kNameLeadsElsewhere : kNameAsListed;
  uint32_t error = OpenedAsListed(listed, opened, own, now);
  if (volume.subdirectory == kSwept) {
    EXPECT_EQ(0u, error);
  } else if (volume.subdirectory == kPassedOver) {
    EXPECT_EQ(kErrorGone, GoneOrError(error));
  } else {
    EXPECT_EQ(int(kWin32FileInvalid), GoneOrError(error));
  }
  // A directory gone, or swapped for another, by the time the parent is
  // asked is passed over as a link is.
  for (NameNow other : {kNameGone, kNameLeadsElsewhere, kNameOtherId})
    EXPECT_EQ(kWin32PathNotFound, OpenedAsListed(0x1234, 0x5678, 0, other)) << other;

  // The current directory, as Windows maps the status (5 for either).
  uint32_t current = volume.current_status ? Win32Error(volume.current_status, 5) : 0;
  EXPECT_EQ(volume.current_gone ? kWin32FileNotFound : 0, CurrentDirectoryError(current));
}

INSTANTIATE_TEST_SUITE_P(Kinds, VolumeTest, testing::ValuesIn(kVolumeKinds),
                         [](const testing::TestParamInfo<VolumeKind>& info) {
                           return std::string(info.param.name);
                         });

// Characters no Windows name holds, and a few it does.
TEST(VolumeNames, CharactersNoNameHolds) {
  for (uint32_t c : {0u, 1u, 0x1Fu, uint32_t('"'), uint32_t('*'), uint32_t('/'), uint32_t(':'),
                     uint32_t('<'), uint32_t('>'), uint32_t('?'), uint32_t('\\'), uint32_t('|')})
    EXPECT_FALSE(IsNameCharacter(c)) << c;
  for (uint32_t c : {uint32_t(' '), uint32_t('.'), uint32_t('a'), 0x7Fu, 0xE9u, 0x101u, 0xFF1Fu})
    EXPECT_TRUE(IsNameCharacter(c)) << c;
}

}  // namespace
