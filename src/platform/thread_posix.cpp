#include "platform/thread.h"

#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// The body and its argument travel to the new thread in the pointer pair below,
// which lives on the creator's stack until the thread has copied it.
struct Launch {
  ThreadBody body;
  void* argument;
  pthread_mutex_t lock;
  pthread_cond_t copied;
  int done;
};

void* run_launch(void* raw) {
  Launch* launch = static_cast<Launch*>(raw);
  ThreadBody body = launch->body;
  void* argument = launch->argument;
  pthread_mutex_lock(&launch->lock);
  launch->done = 1;
  pthread_cond_signal(&launch->copied);
  pthread_mutex_unlock(&launch->lock);
  body(argument);
  return nullptr;
}

int start(ThreadBody body, void* argument, int detached, pthread_t* thread) {
  Launch launch;
  launch.body = body;
  launch.argument = argument;
  launch.done = 0;
  pthread_mutex_init(&launch.lock, nullptr);
  pthread_cond_init(&launch.copied, nullptr);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (detached) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int ok = pthread_create(thread, &attributes, run_launch, &launch) == 0;
  pthread_attr_destroy(&attributes);
  if (ok) {
    pthread_mutex_lock(&launch.lock);
    while (!launch.done) pthread_cond_wait(&launch.copied, &launch.lock);
    pthread_mutex_unlock(&launch.lock);
  }
  pthread_cond_destroy(&launch.copied);
  pthread_mutex_destroy(&launch.lock);
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
