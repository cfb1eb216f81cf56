// An in-memory file system for the tests: a tree of directories and files in
// which any operation can be made to fail, and which records what was asked.
// Worker threads may list and remove through it while the sweep lists it.
#ifndef ZAPEXT_TESTS_VIRTUAL_FILE_SYSTEM_H_
#define ZAPEXT_TESTS_VIRTUAL_FILE_SYSTEM_H_

#include <errno.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"

class VirtualFileSystem : public FileSystem {
 public:
  // `root` is the current directory's text, as the platform would give it.
  explicit VirtualFileSystem(std::string root = "/work", char separator = '/');
  ~VirtualFileSystem() override;

  // Entries are named by their path below the root, with '/' between names,
  // and listed in the order they were added. Missing parents are created.
  void AddDirectory(const std::string& path, uint32_t attributes = kAttrDirectory);
  void AddFile(const std::string& path, uint32_t attributes = 0x20);
  bool Exists(const std::string& path) const;
  uint32_t AttributesOf(const std::string& path) const;
  // Every path below the root, in listing order, directories with a '/'.
  std::vector<std::string> Tree() const;
  // Moves the directory `path` out of the tree, as another program would:
  // listings open on it stay open, on it where it went.
  void MoveAway(const std::string& path);
  // Files removed from what was moved away, after it went.
  std::atomic<int> removed_away{0};

  // Failures to inject, by path below the root ("" is the root itself).
  int current_directory_error = 0;
  std::map<std::string, int> open_errors;
  // After n entries; a code of 0 ends the listing there without a failure.
  std::map<std::string, std::pair<size_t, int>> read_errors;
  std::map<std::string, int> attribute_errors;
  std::map<std::string, int> remove_errors;
  // Removed by "someone else" between listing and removal.
  std::vector<std::string> vanish_before_remove;
  // Listings open at once at most, as a process has descriptors: one more
  // fails with EMFILE. 0: no limit.
  int handle_limit = 0;
  // How many more may open, as told to the tool: fewer than the truth, so
  // that levels closed ahead are opened again near the top. 0: the truth.
  size_t free_told = 0;

  // What the tool asked for.
  std::atomic<int> open_listings{0};
  // Closed on the thread that made this file system: the sweep's, in the
  // tests; the workers close what they are done with as well.
  std::atomic<int> closed_by_sweep{0};
  const std::thread::id sweep_thread = std::this_thread::get_id();
  int max_open_listings = 0;
  std::vector<std::string> removals;  // every removal attempt, by path below the root

  // FileSystem
  char separator() const override { return separator_; }
  int CurrentDirectory(CString* directory) override;
  std::unique_ptr<Listing> OpenListing(Listing* parent, const DirEntry* entry,
                                       const CString& path, int* error) override;
  int SetAttributes(Listing* dir, const char* name, const CString& path,
                    uint32_t attributes) override;
  int RemoveFile(Listing* dir, const char* name, const CString& path) override;
  bool StillAt(Listing* parent, const DirEntry& entry, const CString& path, Listing* dir,
               bool requests_wait) override;
  bool OutOfHandles(int error) const override { return handle_limit && error == EMFILE; }
  size_t HandleLimit() const override;
  size_t HandlesFree() const override;

  // A listing of the directory `path` (below the root) closed, on any thread.
  virtual void ListingClosed(const std::string& path) { (void)path; }

  struct Node;

 private:
  Node* Find(const std::string& path) const;
  Node* Make(const std::string& path, uint32_t attributes);
  Node* ChildOf(Listing* dir, const char* name, const CString& path);

  std::mutex lock_;
  std::string root_;
  char separator_;
  std::unique_ptr<Node> top_;
  std::vector<std::unique_ptr<Node>> away_;
};

#endif  // ZAPEXT_TESTS_VIRTUAL_FILE_SYSTEM_H_
