// Test helper: the handle count and memory of every running process with a
// given image name, as Windows reports them (for the load test's leak check).
//
//   process_stats IMAGE_NAME
//
// One line per process:
//   "pid PID parent PARENT handles N private KIB working_set KIB"
// private is the commit charge (PagefileUsage, what Windows shows as private
// bytes). A figure that cannot be read is -1. Exit code: 0 when at least one
// process was found, 1 when none, 2 on bad usage.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>
#include <winternl.h>

namespace {

// SystemExtendedHandleInformation: every handle of every process.
constexpr int kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

struct SystemHandleEntry {
  PVOID object;
  ULONG_PTR process_id;
  ULONG_PTR handle_value;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG handle_attributes;
  ULONG reserved;
};

struct SystemHandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  SystemHandleEntry entries[1];
};

// Counts the handles of process_id in the system's handle list; -1 when the
// list cannot be read. Wine answers GetProcessHandleCount with 0 for every
// process but keeps this list.
long process_stats_count_from_system_list(DWORD process_id) {
  ULONG size = 1 << 20;
  for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
    SystemHandleList* list = static_cast<SystemHandleList*>(malloc(size));
    if (list == nullptr) return -1;
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(
                                                   kSystemExtendedHandleInformation),
                                               list, size, &needed);
    if (status == kInfoLengthMismatch) {
      free(list);
      continue;
    }
    long count = -1;
    if (status == 0) {
      count = 0;
      for (ULONG_PTR i = 0; i < list->count; ++i) {
        if (list->entries[i].process_id == process_id) ++count;
      }
    }
    free(list);
    return count;
  }
  return -1;
}

void process_stats_print(const PROCESSENTRY32& entry) {
  long handles = -1;
  long long private_kib = -1;
  long long working_set_kib = -1;
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
  if (process != nullptr) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0) handles = static_cast<long>(count);
    PROCESS_MEMORY_COUNTERS memory;
    memset(&memory, 0, sizeof(memory));
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, &memory, sizeof(memory))) {
      private_kib = static_cast<long long>(memory.PagefileUsage / 1024);
      working_set_kib = static_cast<long long>(memory.WorkingSetSize / 1024);
    }
    CloseHandle(process);
  }
  if (handles <= 0) handles = process_stats_count_from_system_list(entry.th32ProcessID);
  printf("pid %lu parent %lu handles %ld private %lld working_set %lld\n", entry.th32ProcessID,
         entry.th32ParentProcessID, handles, private_kib, working_set_kib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: process_stats IMAGE_NAME\n");
    return 2;
  }
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  int found = 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, argv[1]) != 0) continue;
    process_stats_print(entry);
    found = 1;
  }
  CloseHandle(snapshot);
  return found ? 0 : 1;
}
