// An experiment, not product code: src/platform/thread_posix.cpp with one
// change. There the creator waits on a condition variable until the new thread
// has copied its body and argument, so the listener cannot accept the next
// client before the new tunnel thread has been scheduled. Here the pair goes
// to the new thread in a small heap record that the thread frees, and the
// creator returns at once. lumaret_bench_proxy_nowait is built with it to
// measure what that wait costs the set-up rate.
#include "platform/thread.h"

#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

struct Launch {
  ThreadBody body;
  void* argument;
};

void* run_launch(void* raw) {
  Launch* launch = static_cast<Launch*>(raw);
  ThreadBody body = launch->body;
  void* argument = launch->argument;
  free(launch);
  body(argument);
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

void thread_sleep_ms(unsigned milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }
