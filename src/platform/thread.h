// Threads and sleeping: the thin layer over Win32 threads and POSIX threads.
#pragma once

#include <cstdint>

// A thread body. The returned exit code is not read by anyone.
typedef unsigned (*ThreadBody)(void* argument);

// A joinable thread, or kNoThread.
typedef uintptr_t ThreadHandle;
constexpr ThreadHandle kNoThread = 0;

// Starts body(argument) on a detached thread and returns without waiting for it
// to run. The stack is the process's default on Windows and 256 KiB on POSIX
// (a tunnel thread and the resolver need a fraction of either). Returns 1 when
// the thread was created, 0 otherwise (body never runs).
int thread_start_detached(ThreadBody body, void* argument);

// Starts body(argument) on a thread, with the stack of thread_start_detached,
// that the caller later hands to thread_wait_and_close. Returns kNoThread when it cannot be
// created.
ThreadHandle thread_start(ThreadBody body, void* argument);

// Waits at most limit_ms for the thread to end, then releases the handle whether
// or not it ended (a thread still running goes on, detached). Returns 1 when the
// thread ended within the limit.
int thread_wait_and_close(ThreadHandle thread, unsigned limit_ms);

// Sleeps the calling thread for about milliseconds.
void thread_sleep_ms(unsigned milliseconds);
