// The ntdll calls through which the Windows file system opens and lists
// directories, in one table, so that the tests can stand between them and
// the volume and answer as FAT, exFAT or a network redirector would.
#ifndef ZAPEXT_PLATFORM_NT_CALLS_WIN32_H_
#define ZAPEXT_PLATFORM_NT_CALLS_WIN32_H_

#include <windows.h>
#include <winternl.h>

#include <memory>

#include "platform/file_system.h"

// Lists a directory's entries; ntdll has it, winternl.h does not declare it.
extern "C" NTSYSAPI NTSTATUS NTAPI NtQueryDirectoryFile(
    HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context, PIO_STATUS_BLOCK io,
    PVOID entries, ULONG length, FILE_INFORMATION_CLASS kind, BOOLEAN single_entry,
    PUNICODE_STRING mask, BOOLEAN restart);

struct NtCalls {
  decltype(&NtCreateFile) create_file;
  decltype(&NtQueryInformationFile) query_information;
  decltype(&NtQueryDirectoryFile) query_directory;
};

// ntdll's own.
extern const NtCalls kSystemNtCalls;

// A Windows file system that makes its NT calls through `calls`.
std::unique_ptr<FileSystem> NewWin32FileSystem(const NtCalls* calls);

#endif  // ZAPEXT_PLATFORM_NT_CALLS_WIN32_H_
