// Test program that crashes on purpose: a write through a null pointer, the
// page fault a broken test program would take. With user32 loaded, as in every
// test program that links the Windows modules, so that Wine would ask
// "Do you wish to debug it?" in a box when the prefix let it.
// Exit code: whatever the system gives a crashed program; never 0.
#include <windows.h>

int main() {
  GetSystemMetrics(SM_CXSCREEN);
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}
