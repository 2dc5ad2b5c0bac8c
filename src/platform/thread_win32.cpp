#include "platform/thread.h"

#include <windows.h>

namespace {

// On x64 Windows there is one calling convention, so a body returning unsigned
// is called exactly like a thread start routine returning DWORD.
LPTHREAD_START_ROUTINE as_start_routine(ThreadBody body) {
  return reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(body));
}

}  // namespace

int thread_start_detached(ThreadBody body, void* argument) {
  HANDLE thread = CreateThread(nullptr, 0, as_start_routine(body), argument, 0, nullptr);
  if (thread == nullptr) return 0;
  // Nobody waits for this thread: its handle is closed at birth.
  CloseHandle(thread);
  return 1;
}

ThreadHandle thread_start(ThreadBody body, void* argument) {
  HANDLE thread = CreateThread(nullptr, 0, as_start_routine(body), argument, 0, nullptr);
  return reinterpret_cast<ThreadHandle>(thread);
}

int thread_wait_and_close(ThreadHandle thread, unsigned limit_ms) {
  HANDLE handle = reinterpret_cast<HANDLE>(thread);
  int ended = WaitForSingleObject(handle, limit_ms) == WAIT_OBJECT_0 ? 1 : 0;
  CloseHandle(handle);
  return ended;
}

void thread_sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }
