// The seam for tests of failing registry calls. The settings code asks it
// before every read, write and deletion of a registry value. The program's own
// build always answers "no fault" (registry_fault_none.cpp); the test build
// links tests/support/registry_fault_injection_win32.cpp instead, which fails
// or pauses one chosen call, since Wine cannot make a single registry write
// fail once its key is open.
#pragma once

enum RegistryOperation { kRegistryQuery, kRegistrySet, kRegistryDelete };

// Returns 0 to let the call on value_name go ahead, or the Windows error code
// that the call must return instead without touching the registry.
long registry_fault(RegistryOperation operation, const wchar_t* value_name);
