#include "tests/virtual_file_system.h"

#include <errno.h>

#include <algorithm>

#include <gtest/gtest.h>

struct VirtualFileSystem::Node {
  std::string name;
  std::string path;  // below the root, '/' between names
  uint32_t attributes;
  Node* parent;
  std::vector<std::unique_ptr<Node>> children;  // in listing order
  // The first of each name among them, found without a walk through them.
  std::map<std::string, Node*> by_name;
  bool away = false;  // moved out of the tree

  Node* Child(const std::string& child_name) const {
    auto it = by_name.find(child_name);
    return it == by_name.end() ? nullptr : it->second;
  }
};

namespace {

// A listing reads a snapshot taken when it was opened, as a real one may.
class VirtualListing : public Listing {
 public:
  VirtualListing(VirtualFileSystem* fs, VirtualFileSystem::Node* node, std::string text,
                 std::pair<size_t, int> fail_after)
      : node(node), text(std::move(text)), fs_(fs), fail_after_(fail_after) {
    entries_.push_back({".", kAttrDirectory});
    entries_.push_back({"..", kAttrDirectory});
    for (const auto& c : node->children) entries_.push_back({c->name, c->attributes});
    ++fs_->open_listings;
  }
  ~VirtualListing() override {
    --fs_->open_listings;
    if (std::this_thread::get_id() == fs_->sweep_thread) ++fs_->closed_by_sweep;
    fs_->ListingClosed(node->path);
  }

  bool Read(DirEntry* entry) override {
    // A code of 0 ends the listing early without a failure: the directory went.
    if (next_ == fail_after_.first && (fail_after_.first != 0 || fail_after_.second != 0)) {
      error_ = fail_after_.second;
      return false;
    }
    if (next_ == entries_.size()) return false;
    entry->name = entries_[next_].first.c_str();
    entry->attributes = entries_[next_].second;
    ++next_;
    return true;
  }
  int error() const override { return error_; }
  size_t Cost() const override { return sizeof *this; }

  VirtualFileSystem::Node* node;
  std::string text;

 private:
  std::vector<std::pair<std::string, uint32_t>> entries_;
  size_t next_ = 0;
  int error_ = 0;
  VirtualFileSystem* fs_;
  std::pair<size_t, int> fail_after_;
};

VirtualListing* AsVirtual(Listing* listing) { return static_cast<VirtualListing*>(listing); }

template <typename Map>
int Lookup(const Map& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

}  // namespace

VirtualFileSystem::VirtualFileSystem(std::string root, char separator)
    : root_(std::move(root)), separator_(separator), top_(new Node{"", "", kAttrDirectory, nullptr, {}, {}}) {}

VirtualFileSystem::~VirtualFileSystem() = default;

VirtualFileSystem::Node* VirtualFileSystem::Find(const std::string& path) const {
  Node* node = top_.get();
  size_t start = 0;
  while (node && start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    node = node->Child(path.substr(start, end - start));
    start = end + 1;
  }
  return node;
}

VirtualFileSystem::Node* VirtualFileSystem::Make(const std::string& path, uint32_t attributes) {
  size_t slash = path.rfind('/');
  Node* parent = top_.get();
  std::string name = path;
  if (slash != std::string::npos) {
    std::string parent_path = path.substr(0, slash);
    parent = Find(parent_path);
    if (!parent) parent = Make(parent_path, kAttrDirectory);
    name = path.substr(slash + 1);
  }
  parent->children.emplace_back(new Node{name, path, attributes, parent, {}, {}});
  parent->by_name.emplace(name, parent->children.back().get());
  return parent->children.back().get();
}

void VirtualFileSystem::AddDirectory(const std::string& path, uint32_t attributes) {
  Make(path, attributes);
}

void VirtualFileSystem::AddFile(const std::string& path, uint32_t attributes) {
  Make(path, attributes);
}

bool VirtualFileSystem::Exists(const std::string& path) const { return Find(path) != nullptr; }

uint32_t VirtualFileSystem::AttributesOf(const std::string& path) const {
  Node* node = Find(path);
  return node ? node->attributes : 0;
}

std::vector<std::string> VirtualFileSystem::Tree() const {
  std::vector<std::string> out;
  std::vector<Node*> stack = {top_.get()};
  while (!stack.empty()) {
    Node* node = stack.back();
    stack.pop_back();
    if (node != top_.get())
      out.push_back(node->path + ((node->attributes & kAttrDirectory) ? "/" : ""));
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
      stack.push_back(it->get());
  }
  return out;
}

int VirtualFileSystem::CurrentDirectory(CString* directory) {
  if (current_directory_error) return current_directory_error;
  *directory = CString(root_.c_str());
  return 0;
}

std::unique_ptr<Listing> VirtualFileSystem::OpenListing(Listing* parent, const DirEntry* entry,
                                                        const CString& path, int* error) {
  std::lock_guard<std::mutex> locked(lock_);
  Node* node = top_.get();
  std::string text = root_;
  if (parent) {
    VirtualListing* p = AsVirtual(parent);
    text = p->text + separator_ + entry->name;
    node = p->node->Child(entry->name);
  }
  EXPECT_EQ(text, static_cast<const char*>(path)) << "directory text out of step with its place";
  // As the system takes a descriptor before it looks for the name.
  if (handle_limit && open_listings >= handle_limit) {
    *error = EMFILE;
    return nullptr;
  }
  if (!node || !(node->attributes & kAttrDirectory)) {
    *error = kErrorGone;
    return nullptr;
  }
  if (int injected = Lookup(open_errors, node->path)) {
    *error = injected;
    return nullptr;
  }
  auto fail = read_errors.find(node->path);
  std::unique_ptr<Listing> listing(new VirtualListing(
      this, node, text, fail == read_errors.end() ? std::make_pair(size_t(0), 0) : fail->second));
  max_open_listings = std::max(max_open_listings, open_listings.load());
  return listing;
}

size_t VirtualFileSystem::HandleLimit() const {
  return handle_limit ? static_cast<size_t>(handle_limit) : SIZE_MAX;
}

size_t VirtualFileSystem::HandlesFree() const {
  size_t free = handle_limit ? static_cast<size_t>(handle_limit - open_listings) : SIZE_MAX;
  return free_told ? std::min(free, free_told) : free;
}

VirtualFileSystem::Node* VirtualFileSystem::ChildOf(Listing* dir, const char* name,
                                                    const CString& path) {
  VirtualListing* listing = AsVirtual(dir);
  EXPECT_EQ(listing->text + separator_ + name, static_cast<const char*>(path));
  return listing->node->Child(name);
}

int VirtualFileSystem::SetAttributes(Listing* dir, const char* name, const CString& path,
                                     uint32_t attributes) {
  std::lock_guard<std::mutex> locked(lock_);
  Node* node = ChildOf(dir, name, path);
  if (!node) return kErrorGone;
  if (int injected = Lookup(attribute_errors, node->path)) return injected;
  node->attributes = attributes;
  return 0;
}

int VirtualFileSystem::RemoveFile(Listing* dir, const char* name, const CString& path) {
  std::lock_guard<std::mutex> locked(lock_);
  Node* node = ChildOf(dir, name, path);
  for (Node* up = node; up; up = up->parent) removed_away += up->away;
  std::string below = AsVirtual(dir)->node->path;
  below += below.empty() ? "" : "/";
  below += name;
  removals.push_back(below);
  if (!node) return kErrorGone;
  bool vanishes = std::find(vanish_before_remove.begin(), vanish_before_remove.end(), below) !=
                  vanish_before_remove.end();
  if (!vanishes) {
    if (node->attributes & kAttrDirectory) return EISDIR;
    if (int injected = Lookup(remove_errors, node->path)) return injected;
    // As on Windows: a read-only file cannot be removed until released.
    if (node->attributes & kAttrReadOnly) return EACCES;
  }
  Node* parent = node->parent;
  auto& siblings = parent->children;
  siblings.erase(std::find_if(siblings.begin(), siblings.end(),
                              [&](const std::unique_ptr<Node>& c) { return c.get() == node; }));
  parent->by_name.erase(name);
  for (const auto& c : siblings) {
    if (c->name == name) {
      parent->by_name.emplace(name, c.get());
      break;
    }
  }
  return vanishes ? kErrorGone : 0;
}

void VirtualFileSystem::MoveAway(const std::string& path) {
  std::lock_guard<std::mutex> locked(lock_);
  Node* node = Find(path);
  ASSERT_TRUE(node && node->parent);
  Node* parent = node->parent;
  auto& siblings = parent->children;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [&](const std::unique_ptr<Node>& c) { return c.get() == node; });
  node->away = true;
  away_.push_back(std::move(*it));
  siblings.erase(it);
  parent->by_name.erase(node->name);
}

bool VirtualFileSystem::StillAt(Listing* parent, const DirEntry& entry, const CString& path,
                                Listing* dir, bool) {
  std::lock_guard<std::mutex> locked(lock_);
  Node* node = nullptr;
  if (parent) {
    node = AsVirtual(parent)->node->Child(entry.name);
  } else {
    std::string text(path);
    if (text == root_) return AsVirtual(dir)->node == top_.get();
    if (text.compare(0, root_.size() + 1, root_ + separator_) != 0) return false;
    std::string below = text.substr(root_.size() + 1);
    std::replace(below.begin(), below.end(), separator_, '/');
    node = Find(below);
  }
  return node == AsVirtual(dir)->node;
}
