#include "platform/thread.h"

#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// Every thread's stack, fixed as the Windows program's is: one plain thread
// per client on both platforms, so that the figures measured here describe
// the program that users run. glibc's default is the stack limit (8 MiB here),
// and its cache of finished threads' stacks holds 40 MiB: five such stacks, so
// under connection churn most tunnel threads would map a fresh stack and unmap
// it at the end. A tunnel needs about 50 KiB (its head and relay buffers) plus
// the resolver's frames, which take at most a quarter of the stack for their
// buffers; 256 KiB holds both, and 160 of them fit in the cache. Only touched
// pages are resident, so an idle tunnel costs the same memory.
constexpr size_t kThreadStackBytes = 256 * 1024;

// The body and its argument travel to the new thread in a small heap record
// that the thread frees. The creator does not wait for the thread to run: a
// listener that waited would accept its next connection only after the
// scheduler had run the new thread and then the listener again.
struct Launch {
  ThreadBody body;
  void* argument;
};

void* run_launch(void* raw) {
  Launch launch = *static_cast<Launch*>(raw);
  free(raw);
  launch.body(launch.argument);
  return nullptr;
}

int start(ThreadBody body, void* argument, int detached, pthread_t* thread) {
  Launch* launch = static_cast<Launch*>(malloc(sizeof(Launch)));
  if (launch == nullptr) return 0;
  launch->body = body;
  launch->argument = argument;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (detached) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  int ok = pthread_create(thread, &attributes, run_launch, launch) == 0;
  pthread_attr_destroy(&attributes);
  if (!ok) free(launch);
  return ok ? 1 : 0;
}

}  // namespace

int thread_start_detached(ThreadBody body, void* argument) {
  pthread_t thread;
  return start(body, argument, 1, &thread);
}

ThreadHandle thread_start(ThreadBody body, void* argument) {
  pthread_t thread;
  if (!start(body, argument, 0, &thread)) return kNoThread;
  return static_cast<ThreadHandle>(thread);
}

int thread_wait_and_close(ThreadHandle handle, unsigned limit_ms) {
  pthread_t thread = static_cast<pthread_t>(handle);
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += limit_ms / 1000;
  deadline.tv_nsec += static_cast<long>(limit_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  if (pthread_timedjoin_np(thread, nullptr, &deadline) == 0) return 1;
  pthread_detach(thread);
  return 0;
}

void thread_sleep_ms(unsigned milliseconds) {
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
}
