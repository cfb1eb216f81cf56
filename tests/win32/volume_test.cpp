// The Windows build's sweep over each kind of volume of volume_kinds.h:
// a real tree on the disk wine serves, the NT calls of the listing and the
// opening answered as that volume answers (the rest passed to ntdll), and
// the tool's front end run in the tree. Run as "zapext_volume_tests bak":
// the front end reads its argument from the process's command line.
#include <windows.h>
#include <winternl.h>
#include <stdio.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "cli/zapext.h"
#include "platform/nt_calls_win32.h"
#include "tests/volume_kinds.h"

namespace {

const VolumeKind* volume = nullptr;  // the kind the calls answer as
std::wstring outside;                // where a followed link leads

NTSTATUS NTAPI CreateAs(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                        PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes, ULONG share,
                        ULONG disposition, ULONG options, PVOID ea, ULONG ea_length) {
  // The current directory is the one opened by its full path.
  if (!object->RootDirectory && volume->current_status)
    return static_cast<NTSTATUS>(volume->current_status);
  std::wstring name(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(WCHAR));
  if (object->RootDirectory && volume->link_followed && name == L"a") {
    UNICODE_STRING path;
    if (!RtlDosPathNameToNtPathName_U(outside.c_str(), &path, nullptr, nullptr))
      return static_cast<NTSTATUS>(0xC0000017);  // STATUS_NO_MEMORY
    OBJECT_ATTRIBUTES there;
    InitializeObjectAttributes(&there, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    NTSTATUS status = NtCreateFile(handle, access, &there, io, size, attributes, share,
                                   disposition, options, ea, ea_length);
    RtlFreeUnicodeString(&path);
    return status;
  }
  return NtCreateFile(handle, access, object, io, size, attributes, share, disposition, options,
                      ea, ea_length);
}

NTSTATUS NTAPI QueryAs(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG length,
                       FILE_INFORMATION_CLASS kind) {
  if (kind == FileAttributeTagInformation && volume->tag_status)
    return static_cast<NTSTATUS>(volume->tag_status);
  NTSTATUS status = NtQueryInformationFile(file, io, info, length, kind);
  if (status == 0 && kind == FileInternalInformation && volume->ids == kIdsDisagree)
    static_cast<FILE_INTERNAL_INFORMATION*>(info)->IndexNumber.QuadPart ^= 0x5A5A;
  return status;
}

NTSTATUS NTAPI ListAs(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                      PIO_STATUS_BLOCK io, PVOID entries, ULONG length,
                      FILE_INFORMATION_CLASS kind, BOOLEAN single_entry, PUNICODE_STRING mask,
                      BOOLEAN restart) {
  for (int refused = 0; refused < volume->classes_refused; ++refused)
    if (static_cast<uint32_t>(kind) == kListingClasses[refused].info_class)
      return static_cast<NTSTATUS>(volume->refusal);
  NTSTATUS status = NtQueryDirectoryFile(file, event, apc, apc_context, io, entries, length, kind,
                                         single_entry, mask, restart);
  if (status != 0 || kind != FileIdBothDirectoryInformation) return status;
  bool asked_for_a = mask && mask->Length == sizeof(WCHAR) && mask->Buffer[0] == L'a';
  for (char* at = static_cast<char*>(entries);;) {
    auto* record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(at);
    bool dot = record->FileNameLength == sizeof(WCHAR) && record->FileName[0] == L'.';
    if (volume->ids == kIdsNone || (dot && volume->dot_without_id)) record->FileId.QuadPart = 0;
    if (asked_for_a && volume->link_now) {
      record->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      record->EaSize = IO_REPARSE_TAG_SYMLINK;
    }
    if (!record->NextEntryOffset) break;
    at += record->NextEntryOffset;
  }
  return status;
}

const NtCalls kVolumeCalls = {CreateAs, QueryAs, ListAs};

void Touch(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  CloseHandle(file);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName, path = dir + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class VolumeSweepTest : public testing::TestWithParam<VolumeKind> {
 protected:
  void SetUp() override {
    ASSERT_EQ(2, __argc) << "run as: zapext_volume_tests bak";
    ASSERT_STREQ("bak", __argv[1]);
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    base_ = std::wstring(temp) + L"zapext-volume-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(GetTickCount());
    ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr)) << "a fresh directory, or none";
    work_ = base_ + L"\\work";
    outside = base_ + L"\\outside";
    for (const std::wstring& dir : {work_, work_ + L"\\a", work_ + L"\\a\\b", outside})
      ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
    for (const wchar_t* file : {L"\\top.bak", L"\\a\\x.bak", L"\\a\\b\\y.bak", L"\\keep.txt"})
      Touch(work_ + file);
    Touch(outside + L"\\o.bak");
  }
  void TearDown() override {
    if (base_.empty()) return;
    SetCurrentDirectoryW(temp_dir_.c_str());
    RemoveTree(base_);
  }

  std::wstring base_, work_, temp_dir_;
};

TEST_P(VolumeSweepTest, Sweep) {
  volume = &GetParam();
  std::unique_ptr<FileSystem> fs = NewWin32FileSystem(&kVolumeCalls);
  wchar_t was[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, was));
  temp_dir_ = was;
  // The sweep runs only in the tree just made.
  ASSERT_TRUE(SetCurrentDirectoryW(work_.c_str()));
  wchar_t now[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, now));
  ASSERT_EQ(work_, std::wstring(now));
  std::wstring output_path = base_ + L"\\output";
  FILE* out = _wfopen(output_path.c_str(), L"w+b");
  ASSERT_NE(nullptr, out);
  char program[] = "zapext", bak[] = "bak";
  char* argv[] = {program, bak, nullptr};
  int status = ZapextMain(fs.get(), 2, argv, out);
  rewind(out);
  std::multiset<std::string> lines;
  std::string all;
  char line[1024];
  while (fgets(line, sizeof line, out)) {
    all += line;
    lines.insert(line);
  }
  fclose(out);

  std::string work = Narrow(work_);
  std::multiset<std::string> expected;
  int expected_status = 0;
  if (volume->current_gone) {
    expected = {"Unable to read the current directory, error 2\n"};
    expected_status = 2;
  } else {
    expected = {"removing " + work + "\\top.bak\n"};
    int removed = 1;
    if (volume->subdirectory == kReported) {
      expected.insert("Unable to list " + work + "\\a, error 1006\n");
      expected_status = 2;
    }
    if (volume->subdirectory == kSwept) {
      expected.insert("removing " + work + "\\a\\x.bak\n");
      expected.insert("removing " + work + "\\a\\b\\y.bak\n");
      removed += 2;
    }
    expected.insert("removed " + std::to_string(removed) + " files\n");
    expected.insert("\n");
  }
  EXPECT_EQ(expected, lines) << all;
  EXPECT_EQ(expected_status, status) << all;
  bool swept = !volume->current_gone && volume->subdirectory == kSwept;
  EXPECT_EQ(volume->current_gone, Exists(work_ + L"\\top.bak"));
  EXPECT_EQ(!swept, Exists(work_ + L"\\a\\x.bak"));
  EXPECT_EQ(!swept, Exists(work_ + L"\\a\\b\\y.bak"));
  EXPECT_TRUE(Exists(work_ + L"\\keep.txt"));
  EXPECT_TRUE(Exists(outside + L"\\o.bak")) << "nothing outside the tree is touched";
}

INSTANTIATE_TEST_SUITE_P(Kinds, VolumeSweepTest, testing::ValuesIn(kVolumeKinds),
                         [](const testing::TestParamInfo<VolumeKind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
