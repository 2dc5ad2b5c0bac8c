// Test helper: reads and writes registry values under HKEY_CURRENT_USER with
// their exact types and bytes, for tests that check what the launcher leaves
// behind, and starts programs without a console.
//
//   regdump get KEY NAME...            one line per name: "NAME TYPE SIZE HEX" or "NAME absent"
//   regdump set KEY NAME TYPE HEX      writes TYPE (decimal) with the bytes HEX ("-" for none)
//   regdump delete KEY NAME...         deletes the values (missing ones are fine)
//   regdump delete-key KEY             deletes the key with everything in it
//   regdump get-stored KEY NAME...     as get, with the bytes as stored (strings in UTF-16)
//   regdump set-stored KEY NAME TYPE HEX  as set, HEX being the bytes to store as they are
//   regdump key KEY                    prints "present" or "absent"
//   regdump list KEY                   every value of KEY, as get prints it ("" when KEY is absent)
//   regdump proxy-view                 the user's proxy as WinHTTP reports it to programs:
//                                      "auto-detect=N script=URL proxy=TEXT bypass=TEXT"
//   regdump deny-write KEY             denies everyone the setting of values and the creation
//                                      of subkeys on KEY (owner and group kept)
//   regdump allow-write KEY            removes every deny rule from KEY
//   regdump run-logon-command          as a logon does: deletes the launcher's RunOnce value,
//                                      then starts its command with no console, from the text
//                                      as stored; prints its process id
//   regdump hold-mutex BASE MS KEY     holds the user's mutex "Global\\BASE_<SID>" (waiting for
//                                      it at most 30 s), prints "held", after MS prints
//                                      "KEY present" or "KEY absent", then releases it
//   regdump spawn-in-job COMMAND OUT TRIGGER  starts COMMAND with no console (output to the
//                                      file OUT) in a new job with kill-on-close that allows
//                                      breaking away ("-forbid" after TRIGGER: that does not);
//                                      prints its process id; once the file TRIGGER exists,
//                                      closes the job and prints "ended" when the process
//                                      ended within 30 s, else "running"
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
#include <sddl.h>
#include <winhttp.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../support/start_retrying_win32.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Names on the command line are ASCII; the stored forms take them wide.
void widen(const char* text, wchar_t* wide, int capacity) {
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, capacity) == 0) wide[0] = L'\0';
}

// Prints one value: through the 8-bit calls (strings in the code page, as a
// program using them sees them) or as stored.
void print_value(HKEY key, const char* name, int stored) {
  wchar_t wide_name[256];
  widen(name, wide_name, 256);
  DWORD type = 0;
  DWORD size = 0;
  auto query = [&](BYTE* data) {
    return stored ? RegQueryValueExW(key, wide_name, nullptr, &type, data, &size)
                  : RegQueryValueExA(key, name, nullptr, &type, data, &size);
  };
  if (key == nullptr || query(nullptr) != ERROR_SUCCESS) {
    printf("%s absent\n", name);
    return;
  }
  BYTE* data = static_cast<BYTE*>(malloc(size + 1));
  if (data == nullptr || query(data) != ERROR_SUCCESS) {
    printf("%s absent\n", name);
    free(data);
    return;
  }
  printf("%s %lu %lu ", name, type, size);
  for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
  printf(size == 0 ? "-\n" : "\n");
  free(data);
}

int command_get(const char* path, int count, char** names, int stored) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
  for (int i = 0; i < count; ++i) print_value(key, names[i], stored);
  if (key != nullptr) RegCloseKey(key);
  return 0;
}

int command_set(const char* path, const char* name, const char* type_text, const char* hex,
                int stored) {
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
    wchar_t wide_name[256];
    widen(name, wide_name, 256);
    DWORD size = static_cast<DWORD>(length / 2);
    LONG set = stored ? RegSetValueExW(key, wide_name, 0, type, data, size)
                      : RegSetValueExA(key, name, 0, type, data, size);
    if (set == ERROR_SUCCESS) result = 0;
    RegCloseKey(key);
  }
  free(data);
  return result;
}

// Adds (deny) or removes (allow) a rule that denies everyone KEY_SET_VALUE and
// KEY_CREATE_SUB_KEY. The whole descriptor is written back, owner and group
// with the list: Wine resets what a write leaves out.
int command_deny_write(const char* path, int deny) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, &key) !=
      ERROR_SUCCESS) {
    return kExitFailed;
  }
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION;
  alignas(8) BYTE old_descriptor[8192];
  DWORD size = sizeof(old_descriptor);
  int result = kExitFailed;
  BOOL present = FALSE, defaulted = FALSE, owner_defaulted = FALSE, group_defaulted = FALSE;
  ACL* old_acl = nullptr;
  PSID owner = nullptr, group = nullptr;
  alignas(8) BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD everyone_size = sizeof(everyone);
  alignas(8) BYTE new_acl_bytes[4096];
  ACL* new_acl = reinterpret_cast<ACL*>(new_acl_bytes);
  SECURITY_DESCRIPTOR descriptor;
  if (RegGetKeySecurity(key, parts, old_descriptor, &size) == ERROR_SUCCESS &&
      GetSecurityDescriptorDacl(old_descriptor, &present, &old_acl, &defaulted) &&
      GetSecurityDescriptorOwner(old_descriptor, &owner, &owner_defaulted) &&
      GetSecurityDescriptorGroup(old_descriptor, &group, &group_defaulted) &&
      CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyone_size) &&
      InitializeAcl(new_acl, sizeof(new_acl_bytes), ACL_REVISION)) {
    int built = !deny || AddAccessDeniedAce(new_acl, ACL_REVISION,
                                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY, everyone);
    // No list at all allows everything: say so in the new list, which would
    // otherwise allow nothing.
    if (built && (!present || old_acl == nullptr)) {
      built = AddAccessAllowedAce(new_acl, ACL_REVISION, KEY_ALL_ACCESS, everyone);
    }
    // The old allow rules follow the deny rule, which must come first.
    for (DWORD i = 0; built && present && old_acl != nullptr && i < old_acl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (!GetAce(old_acl, i, reinterpret_cast<void**>(&ace))) built = 0;
      if (built && ace->AceType != ACCESS_DENIED_ACE_TYPE) {
        built = AddAce(new_acl, ACL_REVISION, MAXDWORD, ace, ace->AceSize);
      }
    }
    // The list as long as its rules, not as its buffer.
    ACL_SIZE_INFORMATION used = {};
    if (built && GetAclInformation(new_acl, &used, sizeof(used), AclSizeInformation)) {
      new_acl->AclSize = static_cast<WORD>(used.AclBytesInUse);
    }
    if (built && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorOwner(&descriptor, owner, owner_defaulted) &&
        SetSecurityDescriptorGroup(&descriptor, group, group_defaulted) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, new_acl, FALSE) &&
        RegSetKeySecurity(key, parts, &descriptor) == ERROR_SUCCESS) {
      result = 0;
    }
  }
  RegCloseKey(key);
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

int command_list(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  for (DWORD index = 0;; ++index) {
    char name[512];
    DWORD length = sizeof(name);
    if (RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    print_value(key, name, 0);
  }
  RegCloseKey(key);
  return 0;
}

int command_proxy_view() {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof(config));
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return kExitFailed;
  printf("auto-detect=%d script=%ls proxy=%ls bypass=%ls\n", config.fAutoDetect ? 1 : 0,
         config.lpszAutoConfigUrl ? config.lpszAutoConfigUrl : L"",
         config.lpszProxy ? config.lpszProxy : L"",
         config.lpszProxyBypass ? config.lpszProxyBypass : L"");
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
  BOOL created = start_retrying([&] {
    return CreateProcessA(nullptr, line, nullptr, nullptr, output != INVALID_HANDLE_VALUE,
                          DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
  });
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!created) return kExitFailed;
  printf("%lu\n", process.dwProcessId);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

int command_run_logon_command() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                    KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return kExitFailed;
  }
  wchar_t line[1024] = {};
  DWORD size = sizeof(line) - sizeof(wchar_t);
  LONG read = RegQueryValueExW(key, L"MorvoProxyLauncherRestore", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(line), &size);
  // The shell deletes a RunOnce value before it runs the command.
  if (read == ERROR_SUCCESS) read = RegDeleteValueW(key, L"MorvoProxyLauncherRestore");
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return kExitFailed;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!start_retrying([&] {
        return CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                              nullptr, &startup, &process);
      })) {
    return kExitFailed;
  }
  printf("%lu\n", process.dwProcessId);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

// The launcher's name for a mutex of the user in every session.
int user_mutex_name(const char* base, char* name, size_t capacity) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  char* sid_text = nullptr;
  int named = GetTokenInformation(token, TokenUser, user, sizeof(user), &size) &&
              ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid_text);
  CloseHandle(token);
  if (!named) return 0;
  named = snprintf(name, capacity, "Global\\%s_%s", base, sid_text) < static_cast<int>(capacity);
  LocalFree(sid_text);
  return named;
}

int command_hold_mutex(const char* base, const char* ms_text, const char* key_path) {
  char name[256];
  if (!user_mutex_name(base, name, sizeof(name))) return kExitFailed;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return kExitFailed;
  DWORD waited = WaitForSingleObject(mutex, 30000);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return kExitFailed;
  printf("held\n");
  fflush(stdout);
  Sleep(strtoul(ms_text, nullptr, 10));
  HKEY key = nullptr;
  int present = RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_READ, &key) == ERROR_SUCCESS;
  if (present) RegCloseKey(key);
  printf("%s %s\n", key_path, present ? "present" : "absent");
  fflush(stdout);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}

int command_spawn_in_job(const char* command, const char* output_path, const char* trigger_path,
                         int forbid_breakaway) {
  wchar_t line[4096];
  if (MultiByteToWideChar(CP_UTF8, 0, command, -1, line, 4096) == 0) return kExitUsage;
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return kExitFailed;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                            (forbid_breakaway ? 0 : JOB_OBJECT_LIMIT_BREAKAWAY_OK);
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    return kExitFailed;
  }
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE output = CreateFileA(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return kExitFailed;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  // Suspended until it is in the job, so that its watchdog starts inside it.
  BOOL created = start_retrying([&] {
    return CreateProcessW(nullptr, line, nullptr, nullptr, TRUE,
                          DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                          &process);
  });
  CloseHandle(output);
  if (!created) return kExitFailed;
  if (!AssignProcessToJobObject(job, process.hProcess)) {
    TerminateProcess(process.hProcess, 1);
    return kExitFailed;
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  printf("%lu\n", process.dwProcessId);
  fflush(stdout);
  while (GetFileAttributesA(trigger_path) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  CloseHandle(job);
  DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  printf("%s\n", waited == WAIT_OBJECT_0 ? "ended" : "running");
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

// Runs the command named by argv[1]; returns the exit code.
int run_command(int argc, char** argv) {
  if (argc < 2) return kExitUsage;
  const char* command = argv[1];
  int stored = strcmp(command, "get-stored") == 0 || strcmp(command, "set-stored") == 0;
  if ((strcmp(command, "get") == 0 || strcmp(command, "get-stored") == 0) && argc >= 4) {
    return command_get(argv[2], argc - 3, argv + 3, stored);
  }
  if ((strcmp(command, "set") == 0 || strcmp(command, "set-stored") == 0) && argc == 6) {
    return command_set(argv[2], argv[3], argv[4], argv[5], stored);
  }
  if (strcmp(command, "deny-write") == 0 && argc == 3) return command_deny_write(argv[2], 1);
  if (strcmp(command, "allow-write") == 0 && argc == 3) return command_deny_write(argv[2], 0);
  if (strcmp(command, "run-logon-command") == 0 && argc == 2) return command_run_logon_command();
  if (strcmp(command, "delete") == 0 && argc >= 4)
    return command_delete(argv[2], argc - 3, argv + 3);
  if (strcmp(command, "delete-key") == 0 && argc == 3) return command_delete_key(argv[2]);
  if (strcmp(command, "key") == 0 && argc == 3) return command_key(argv[2]);
  if (strcmp(command, "list") == 0 && argc == 3) return command_list(argv[2]);
  if (strcmp(command, "proxy-view") == 0 && argc == 2) return command_proxy_view();
  if (strcmp(command, "spawn-detached") == 0 && (argc == 3 || argc == 4)) {
    return command_spawn_detached(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (strcmp(command, "wait-gone") == 0 && argc == 5)
    return command_wait_gone(argv[2], argv[3], argv[4]);
  if (strcmp(command, "hold-mutex") == 0 && argc == 5) {
    return command_hold_mutex(argv[2], argv[3], argv[4]);
  }
  if (strcmp(command, "spawn-in-job") == 0 && (argc == 5 || argc == 6)) {
    return command_spawn_in_job(argv[2], argv[3], argv[4],
                                argc == 6 && strcmp(argv[5], "-forbid") == 0);
  }
  if (strcmp(command, "sleep") == 0 && argc == 3) {
    Sleep(strtoul(argv[2], nullptr, 10));
    return 0;
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Exact output: no CR added before each line end.
  _setmode(_fileno(stdout), _O_BINARY);
  int result = run_command(argc, argv);
  // Never silent: under load Wine itself can end a program with exit 1 and
  // no output, and the tests repeat a read only when nothing at all was said.
  if (result == kExitFailed) fprintf(stderr, "regdump %s: failed\n", argv[1]);
  if (result == kExitUsage) fprintf(stderr, "regdump: bad usage\n");
  return result;
}
