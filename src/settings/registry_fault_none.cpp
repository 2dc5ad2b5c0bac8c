#include "settings/registry_fault.h"

long registry_fault(RegistryOperation, const wchar_t*) { return 0; }
