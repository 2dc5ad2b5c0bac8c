// Process starts of the test programs (console_run, regdump, the PowerShell
// stand-in) that Wine fails for a moment. Windows only.
#pragma once

#include <windows.h>

// Calls start() (a CreateProcess call that returns its BOOL) again, 3 tries in
// all and 100 ms apart, while it fails with ERROR_INTERNAL_ERROR: Wine reports
// so a new process that died while it was being set up, about once in 2000
// starts on a loaded machine, and the same start then succeeds. Returns the
// last result; GetLastError() is that of the last try.
template <typename Start>
BOOL start_retrying(Start start) {
  for (int attempt = 1;; ++attempt) {
    if (start()) return TRUE;
    if (attempt == 3 || GetLastError() != ERROR_INTERNAL_ERROR) return FALSE;
    Sleep(100);
  }
}
