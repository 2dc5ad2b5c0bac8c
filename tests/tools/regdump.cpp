// Test helper: reads and writes registry values under HKEY_CURRENT_USER with
// their exact types and bytes, for tests that check what the launcher leaves
// behind, and starts programs without a console.
//
//   regdump get KEY NAME...            one line per name: "NAME TYPE SIZE HEX" or "NAME absent"
//   regdump set KEY NAME TYPE HEX      writes TYPE (decimal) with the bytes HEX ("-" for none)
//   regdump delete KEY NAME...         deletes the values (missing ones are fine)
//   regdump delete-key KEY             deletes the key with everything in it
//   regdump key KEY                    prints "present" or "absent"
//   regdump spawn-detached COMMAND [OUT]  starts COMMAND with no console, its standard output
//                                      and error going to the file OUT if given; prints its
//                                      process id
//   regdump sleep MS                   sleeps, then exits 0
//   regdump wait-gone KEY NAME MS      prints "watching", polls every 5 ms until the value is
//                                      absent, then prints the Unix time in ms when it was
//                                      first seen gone (exit 0); exits 1 after MS
//
// Exit code 0 on success, 1 when an operation failed, 2 on bad usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void print_value(HKEY key, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (key == nullptr || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    printf("%s absent\n", name);
    return;
  }
  BYTE* data = static_cast<BYTE*>(malloc(size + 1));
  if (data == nullptr || RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) {
    printf("%s absent\n", name);
    free(data);
    return;
  }
  printf("%s %lu %lu ", name, type, size);
  for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
  printf(size == 0 ? "-\n" : "\n");
  free(data);
}

int command_get(const char* path, int count, char** names) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
  for (int i = 0; i < count; ++i) print_value(key, names[i]);
  if (key != nullptr) RegCloseKey(key);
  return 0;
}

int command_set(const char* path, const char* name, const char* type_text, const char* hex) {
  size_t length = strcmp(hex, "-") == 0 ? 0 : strlen(hex);
  if (length % 2 != 0) return kExitUsage;
  BYTE* data = static_cast<BYTE*>(malloc(length / 2 + 1));
  if (data == nullptr) return kExitFailed;
  for (size_t i = 0; i < length / 2; ++i) {
    int high = hex_digit(hex[2 * i]);
    int low = hex_digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      free(data);
      return kExitUsage;
    }
    data[i] = static_cast<BYTE>(high * 16 + low);
  }
  HKEY key = nullptr;
  int result = kExitFailed;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    DWORD type = strtoul(type_text, nullptr, 10);
    if (RegSetValueExA(key, name, 0, type, data, static_cast<DWORD>(length / 2)) == ERROR_SUCCESS) {
      result = 0;
    }
    RegCloseKey(key);
  }
  free(data);
  return result;
}

int command_delete(const char* path, int count, char** names) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return 0;
  for (int i = 0; i < count; ++i) RegDeleteValueA(key, names[i]);
  RegCloseKey(key);
  return 0;
}

int command_delete_key(const char* path) {
  LONG result = RegDeleteTreeA(HKEY_CURRENT_USER, path);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? 0 : kExitFailed;
}

int command_key(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    printf("absent\n");
    return 0;
  }
  RegCloseKey(key);
  printf("present\n");
  return 0;
}

int command_spawn_detached(const char* command, const char* output_path) {
  char line[4096];
  if (strlen(command) >= sizeof(line)) return kExitUsage;
  strcpy(line, command);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  HANDLE output = INVALID_HANDLE_VALUE;
  if (output_path != nullptr) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    output = CreateFileA(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return kExitFailed;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION process = {};
  BOOL created = CreateProcessA(nullptr, line, nullptr, nullptr, output != INVALID_HANDLE_VALUE,
                                DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!created) return kExitFailed;
  printf("%lu\n", process.dwProcessId);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

int value_exists(const char* path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  int exists = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return exists;
}

// Times a restore from inside the prefix: a Linux poller would start a Wine
// program per look, far coarser than the restore itself.
int command_wait_gone(const char* path, const char* name, const char* limit_text) {
  ULONGLONG deadline = GetTickCount64() + strtoul(limit_text, nullptr, 10);
  printf("watching\n");
  fflush(stdout);
  while (value_exists(path, name)) {
    if (GetTickCount64() >= deadline) return kExitFailed;
    Sleep(5);
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  printf("%llu\n", ticks / 10000ULL - 11644473600000ULL);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Exact output: no CR added before each line end.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return kExitUsage;
  const char* command = argv[1];
  if (strcmp(command, "get") == 0 && argc >= 4) return command_get(argv[2], argc - 3, argv + 3);
  if (strcmp(command, "set") == 0 && argc == 6) return command_set(argv[2], argv[3], argv[4], argv[5]);
  if (strcmp(command, "delete") == 0 && argc >= 4) return command_delete(argv[2], argc - 3, argv + 3);
  if (strcmp(command, "delete-key") == 0 && argc == 3) return command_delete_key(argv[2]);
  if (strcmp(command, "key") == 0 && argc == 3) return command_key(argv[2]);
  if (strcmp(command, "spawn-detached") == 0 && (argc == 3 || argc == 4)) {
    return command_spawn_detached(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (strcmp(command, "wait-gone") == 0 && argc == 5) return command_wait_gone(argv[2], argv[3], argv[4]);
  if (strcmp(command, "sleep") == 0 && argc == 3) {
    Sleep(strtoul(argv[2], nullptr, 10));
    return 0;
  }
  return kExitUsage;
}
