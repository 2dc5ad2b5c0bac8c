#include "platform/thread.h"

#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
// The detached threads below are joinable underneath, and each is joined by a
// later start or end; those that end last are not joined before the process
// ends, which ThreadSanitizer would otherwise report as a leak.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace {

// Every thread's stack. A tunnel needs about 50 KiB (its head and relay
// buffers) plus the resolver's frames, which take at most a quarter of the
// stack for their buffers; 256 KiB holds both. Only touched pages are
// resident, so an idle tunnel costs the same memory.
constexpr size_t kThreadStackBytes = 256 * 1024;

// glibc puts a thread's static TLS at the top of a stack the program supplies,
// and ThreadSanitizer keeps about 900 KiB of its own there: its builds give
// such stacks that much more.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kToolStackBytes = 1024 * 1024;
#else
constexpr size_t kToolStackBytes = 0;
#endif

// Detached threads run on stacks of this layer's own, used again from one
// thread to the next. When a thread on one of glibc's stacks ends, glibc gives
// every page deeper than the stack's top 16 KiB back to the kernel, and a
// tunnel's buffers lie deeper: taking the pages away flushes the TLB of every
// processor the process runs on (an interrupt each, dear in a virtual machine)
// and the next thread faults them in again: 15 % of the proxy's CPU per tunnel
// when tunnels open and close at a high rate. glibc leaves a stack that the
// program supplied as it is.
//
// A stack may carry a new thread only when its last one has ended. Each such
// thread is created joinable and, as its last step, joins the threads that
// ended before it and puts its own stack on the finished list; a start joins
// the finished threads too. pthread_tryjoin_np never waits: a thread still on
// its way out stays on the list. Spare stacks beyond kSpareStacksKept are
// unmapped, so a burst of connections leaves little behind.
constexpr int kSpareStacksKept = 64;

// One mapping per stack: a guard page that stops an overflow, then the stack,
// then this record in the stack's top 64 bytes, beside glibc's own record of
// the thread (so in a page that every thread touches anyway).
struct PooledStack {
  PooledStack* next;
  pthread_t thread;
  ThreadBody body;
  void* argument;
};

constexpr size_t kRecordBytes = 64;
static_assert(sizeof(PooledStack) <= kRecordBytes, "the record fits its place");

pthread_mutex_t g_pool_lock = PTHREAD_MUTEX_INITIALIZER;
PooledStack* g_finished = nullptr;  // threads that ended or are ending
PooledStack* g_spare = nullptr;     // stacks free for a new thread
int g_spare_count = 0;

size_t page_bytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

size_t usable_bytes() { return kThreadStackBytes + kToolStackBytes - kRecordBytes; }

size_t mapping_bytes() { return page_bytes() + kThreadStackBytes + kToolStackBytes; }

char* mapping_of(PooledStack* stack) {
  return reinterpret_cast<char*>(stack) + kRecordBytes - mapping_bytes();
}

char* stack_low_end(PooledStack* stack) { return mapping_of(stack) + page_bytes(); }

PooledStack* map_stack() {
  void* memory = mmap(nullptr, mapping_bytes(), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  if (mprotect(memory, page_bytes(), PROT_NONE) != 0) {
    munmap(memory, mapping_bytes());
    return nullptr;
  }
  return reinterpret_cast<PooledStack*>(static_cast<char*>(memory) + mapping_bytes() -
                                        kRecordBytes);
}

void unmap_stack(PooledStack* stack) { munmap(mapping_of(stack), mapping_bytes()); }

// Joins each finished thread that has ended and keeps its stack as a spare,
// or unmaps it when enough are kept. Called with the pool locked.
void collect_finished() {
  PooledStack** link = &g_finished;
  while (*link != nullptr) {
    PooledStack* stack = *link;
    if (pthread_tryjoin_np(stack->thread, nullptr) != 0) {
      link = &stack->next;
      continue;
    }
    *link = stack->next;
    if (g_spare_count >= kSpareStacksKept) {
      unmap_stack(stack);
      continue;
    }
    stack->next = g_spare;
    g_spare = stack;
    ++g_spare_count;
  }
}

void* run_pooled(void* raw) {
  PooledStack* stack = static_cast<PooledStack*>(raw);
  stack->body(stack->argument);
  // Set here rather than by pthread_create, which may return after this thread
  // has ended and been collected.
  stack->thread = pthread_self();
  pthread_mutex_lock(&g_pool_lock);
  collect_finished();
  stack->next = g_finished;
  g_finished = stack;
  pthread_mutex_unlock(&g_pool_lock);
  return nullptr;
}

// The body and its argument travel to a joinable thread in a small heap record
// that the thread frees. The creator does not wait for the thread to run.
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

}  // namespace

int thread_start_detached(ThreadBody body, void* argument) {
  pthread_mutex_lock(&g_pool_lock);
  if (g_spare == nullptr) collect_finished();
  PooledStack* stack = g_spare;
  if (stack != nullptr) {
    g_spare = stack->next;
    --g_spare_count;
  }
  pthread_mutex_unlock(&g_pool_lock);
  if (stack == nullptr) stack = map_stack();
  if (stack == nullptr) return 0;
  stack->body = body;
  stack->argument = argument;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack_low_end(stack), usable_bytes());
  pthread_t thread;
  int ok = pthread_create(&thread, &attributes, run_pooled, stack) == 0;
  pthread_attr_destroy(&attributes);
  if (!ok) unmap_stack(stack);
  return ok ? 1 : 0;
}

ThreadHandle thread_start(ThreadBody body, void* argument) {
  Launch* launch = static_cast<Launch*>(malloc(sizeof(Launch)));
  if (launch == nullptr) return kNoThread;
  launch->body = body;
  launch->argument = argument;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_t thread;
  int ok = pthread_create(&thread, &attributes, run_launch, launch) == 0;
  pthread_attr_destroy(&attributes);
  if (!ok) {
    free(launch);
    return kNoThread;
  }
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
