// The readdir listing against a real directory: every entry with its type,
// links not followed, the type looked up where the listing gives none, and
// its descriptor closed once, whatever happens. And the system's listing,
// read to its end, still the place to open and remove from, and the only
// place an entry opens from.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/listing_portable_posix.h"

namespace {

// A directory holding a file, a directory, a link to that directory and a
// link to nothing; removed with everything in it.
class PortableListingTest : public testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/zapext-listing.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(path));
    dir_ = path;
    ASSERT_EQ(0, close(open((dir_ + "/file").c_str(), O_CREAT | O_WRONLY, 0644)));
    ASSERT_EQ(0, mkdir((dir_ + "/sub").c_str(), 0755));
    ASSERT_EQ(0, symlink("sub", (dir_ + "/link").c_str()));
    ASSERT_EQ(0, symlink("nowhere", (dir_ + "/dangling").c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf " + dir_).c_str())); }

  int Open(const std::string& name) const {
    return open((dir_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  }

  std::string dir_;
};

bool IsClosed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

TEST_F(PortableListingTest, ListsEveryEntryWithItsType) {
  int fd = Open(".");
  ASSERT_GE(fd, 0);
  std::map<std::string, bool> listed;  // name: a directory
  {
    PortableListing listing(fd);
    EXPECT_EQ(fd, listing.fd());
    DirEntry entry;
    while (listing.Read(&entry))
      EXPECT_TRUE(listed.emplace(entry.name, entry.attributes == kAttrDirectory).second)
          << entry.name;
    EXPECT_EQ(0, listing.error());
    EXPECT_FALSE(listing.Read(&entry)) << "read again past the end";
  }
  EXPECT_TRUE(IsClosed(fd));
  std::map<std::string, bool> expected = {{".", true},     {"..", true},   {"file", false},
                                          {"sub", true},   {"link", false}, {"dangling", false}};
  EXPECT_EQ(expected, listed);
}

// A descriptor no stream can be made of is closed at once, and the listing
// fails with the reason.
TEST_F(PortableListingTest, NotADirectoryFailsAndIsClosed) {
  int fd = Open("file");
  ASSERT_GE(fd, 0);
  PortableListing listing(fd);
  EXPECT_TRUE(IsClosed(fd));
  EXPECT_EQ(-1, listing.fd());
  DirEntry entry;
  EXPECT_FALSE(listing.Read(&entry));
  EXPECT_EQ(ENOTDIR, listing.error());
}

struct TypeCase {
  const char* name;
  unsigned char type;  // as the listing gives it
  bool directory;
};

// Where the listing gives no type (DT_UNKNOWN) the entry itself is looked at,
// without following a link; where it gives one, that is taken.
const TypeCase kTypeCases[] = {
    {"sub", DT_UNKNOWN, true},       {"file", DT_UNKNOWN, false},
    {"link", DT_UNKNOWN, false},     {"dangling", DT_UNKNOWN, false},
    {"vanished", DT_UNKNOWN, false},  // gone: nothing to open, nothing to report
    {"sub", DT_LNK, false},          {"file", DT_DIR, true},
};

TEST_F(PortableListingTest, TypeOfAnEntry) {
  int fd = Open(".");
  ASSERT_GE(fd, 0);
  for (const TypeCase& c : kTypeCases)
    EXPECT_EQ(c.directory, IsDirectoryEntry(fd, c.name, c.type))
        << c.name << " listed as type " << int(c.type);
  close(fd);
}

// Read to its end and told so, a listing of the system's still opens and
// removes what is in it, and reads nothing more, without failing.
TEST_F(PortableListingTest, EndedListingStillOpensAndRemoves) {
  FileSystem* fs = RealFileSystem();
  int back = Open(".");
  ASSERT_GE(back, 0);
  ASSERT_EQ(0, chdir(dir_.c_str()));  // where the starting directory opens
  int error = 0;
  std::unique_ptr<Listing> top = fs->OpenListing(nullptr, nullptr, CString(dir_.c_str()), &error);
  EXPECT_EQ(0, fchdir(back));
  close(back);
  ASSERT_TRUE(top) << error;
  DirEntry entry;
  while (top->Read(&entry)) {
  }
  ASSERT_EQ(0, top->error());
  top->EndReading();
  EXPECT_FALSE(top->Read(&entry));
  EXPECT_EQ(0, top->error());

  DirEntry sub;
  sub.name = "sub";
  sub.attributes = kAttrDirectory;
  EXPECT_TRUE(fs->OpenListing(top.get(), &sub, CString((dir_ + "/sub").c_str()), &error))
      << error;
  EXPECT_EQ(0, fs->RemoveFile(top.get(), "file", CString((dir_ + "/file").c_str())));
  EXPECT_NE(0, access((dir_ + "/file").c_str(), F_OK));
}

// An entry opens only through the listing it came from: opened from the
// current directory by its name, it could be some other directory.
TEST_F(PortableListingTest, AnEntryOpensOnlyThroughItsParent) {
  DirEntry sub;
  sub.name = "sub";
  sub.attributes = kAttrDirectory;
  int error = 0;
  EXPECT_FALSE(RealFileSystem()->OpenListing(nullptr, &sub, CString((dir_ + "/sub").c_str()), &error));
  EXPECT_EQ(EBADF, error);
}

// Descriptors opened, low or high, are no longer free: never more are told
// free than the process could open.
TEST(HandlesFreeTest, CountsWhatIsHeld) {
  FileSystem* fs = RealFileSystem();
  size_t before = fs->HandlesFree();
  if (before == SIZE_MAX || before < 3) GTEST_SKIP() << "no bound on descriptors here";
  EXPECT_LE(before, fs->HandleLimit());
  int low = open("/", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(low, 0);
  int high = fcntl(low, F_DUPFD_CLOEXEC, 1000);
  EXPECT_EQ(before - (high >= 0 ? 2 : 1), fs->HandlesFree());
  if (high >= 0) close(high);
  close(low);
  EXPECT_EQ(before, fs->HandlesFree());
}

// Whether a directory opened through its parent is still where its name
// leads, after what may have moved it: through the parent's listing, and by
// its full path.
TEST(StillAtTest, TellsAMovedDirectory) {
  struct Case {
    const char* what;
    const char* commands;  // run in the test's directory, which holds p/sub and out/
    bool through_parent, by_path;
  } cases[] = {
      {"untouched", "true", true, true},
      {"moved away", "mv p/sub out/", false, false},
      {"moved away, another made at its name", "mv p/sub out/ && mkdir p/sub", false, false},
      {"renamed beside, another made at its name", "mv p/sub p/subx && mkdir p/sub", false, false},
      {"renamed to a shorter name, another made at its name", "mv p/sub p/s && mkdir p/sub", false, false},
      {"a link to it made at its name", "mv p/sub out/ && ln -s ../out/sub p/sub", false, false},
      {"moved away and back", "mv p/sub out/ && mv out/sub p/", true, true},
      // Inside its moved parent, as the single-threaded sweep would find it.
      {"its parent moved away", "mv p out/", true, false},
      {"its parent moved away, another with it made there", "mv p out/ && mkdir -p p/sub", true, false},
      // Where its path leads, in the tree: swept there.
      {"its parent moved away, it moved back to its path", "mv p out/ && mkdir p && mv out/p/sub p/",
       true, true},
  };
  FileSystem* fs = RealFileSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char made[] = "/tmp/zapext-still.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(made));
    // As the system names it, so that the path it keeps is the one compared.
    char* real = realpath(made, nullptr);
    ASSERT_NE(nullptr, real);
    std::string dir = real;
    free(real);
    ASSERT_EQ(0, system(("mkdir -p " + dir + "/p/sub " + dir + "/out").c_str()));
    int back = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(0, chdir((dir + "/p").c_str()));  // where the starting directory opens
    int error = 0;
    std::unique_ptr<Listing> top = fs->OpenListing(nullptr, nullptr, CString((dir + "/p").c_str()), &error);
    DirEntry sub;
    sub.name = "sub";
    sub.attributes = kAttrDirectory;
    std::string path = dir + "/p/sub";
    std::unique_ptr<Listing> opened = top ? fs->OpenListing(top.get(), &sub, CString(path.c_str()), &error) : nullptr;
    ASSERT_EQ(0, chdir(dir.c_str()));
    EXPECT_EQ(0, system(c.commands));
    if (top && opened) {
      // Whatever it asks first.
      for (bool requests_wait : {false, true}) {
        SCOPED_TRACE(requests_wait ? "requests wait" : "requests answered at once");
        EXPECT_EQ(c.through_parent,
                  fs->StillAt(top.get(), sub, CString(path.c_str()), opened.get(), requests_wait));
        EXPECT_EQ(c.by_path,
                  fs->StillAt(nullptr, sub, CString(path.c_str()), opened.get(), requests_wait));
      }
    } else {
      ADD_FAILURE() << "not opened: " << error;
    }
    EXPECT_EQ(0, fchdir(back));
    close(back);
    EXPECT_EQ(0, system(("rm -rf " + dir).c_str()));
  }
}

}  // namespace
