// The test build's registry fault: LUMARET_TEST_REGISTRY_FAULT names one call
// to fail or hold, as OPERATION:VALUE:ACTION, for example
//
//   set:Active:5                     the write of Active fails with error 5
//   query:ProxyServerPresent:1018    that read fails as if the key was deleted
//   set:ProxyServer:pause            that write waits 60 s, then goes ahead
//   set:ProxyServer:5*               every write of ProxyServer fails with error 5
//   set:ProxyServer:5*2              the first two writes fail, later ones go ahead
//
// OPERATION is query, set or delete. Only the first matching call of the
// process is affected, every one with "*", or the first N with "*N". The
// variable is read and removed from the process's environment as the process
// starts, so the programs it starts (the watchdog) run without it. Tests in
// the process itself arm a fault with registry_fault_arm.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "settings/registry_fault.h"

namespace {

constexpr wchar_t kVariable[] = L"LUMARET_TEST_REGISTRY_FAULT";
constexpr DWORD kPauseMs = 60000;

struct Fault {
  int armed;
  RegistryOperation operation;
  wchar_t value_name[64];
  int pause;
  int every_call;
  int calls_left;  // with every_call 0: the matching calls still to fail
  long error;
};
Fault fault;

// Arms the fault that text (OPERATION:VALUE:ACTION, at most 127 characters)
// names; a text that names none leaves it disarmed.
void parse_fault(const wchar_t* fault_text) {
  fault = Fault();
  wchar_t text[128];
  if (wcslen(fault_text) >= 128) return;
  wcscpy(text, fault_text);
  wchar_t* name = wcschr(text, L':');
  if (name == nullptr) return;
  *name++ = L'\0';
  wchar_t* action = wcschr(name, L':');
  if (action == nullptr) return;
  *action++ = L'\0';
  if (wcscmp(text, L"query") == 0) {
    fault.operation = kRegistryQuery;
  } else if (wcscmp(text, L"set") == 0) {
    fault.operation = kRegistrySet;
  } else if (wcscmp(text, L"delete") == 0) {
    fault.operation = kRegistryDelete;
  } else {
    return;
  }
  if (wcslen(name) >= 64) return;
  wcscpy(fault.value_name, name);
  fault.pause = wcscmp(action, L"pause") == 0;
  wchar_t* end = nullptr;
  fault.error = wcstol(action, &end, 10);
  fault.calls_left = 1;
  if (end != nullptr && *end == L'*') {
    fault.calls_left = static_cast<int>(wcstol(end + 1, nullptr, 10));
    fault.every_call = fault.calls_left <= 0;
  }
  fault.armed = fault.pause || fault.error != 0;
}

void load_fault() {
  wchar_t text[128];
  DWORD length = GetEnvironmentVariableW(kVariable, text, 128);
  if (length == 0 || length >= 128) return;
  SetEnvironmentVariableW(kVariable, nullptr);
  parse_fault(text);
}

// Before main: the watchdog may be started before the first registry call.
struct FaultLoader {
  FaultLoader() { load_fault(); }
};
FaultLoader fault_loader;

}  // namespace

void registry_fault_arm(const wchar_t* fault_text) { parse_fault(fault_text); }

long registry_fault(RegistryOperation operation, const wchar_t* value_name) {
  // The settings code calls this only under its lock: no two calls at once.
  if (!fault.armed || operation != fault.operation || wcscmp(value_name, fault.value_name) != 0) {
    return 0;
  }
  if (!fault.every_call && --fault.calls_left <= 0) fault.armed = 0;
  if (fault.pause) {
    Sleep(kPauseMs);
    return 0;
  }
  return fault.error;
}
