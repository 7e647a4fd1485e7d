// SPDX-License-Identifier: MIT
// Helpers the test suites share: private namespaces, child processes, fixture files and a
// count of heap calls.
#ifndef TAMB_TEST_SUPPORT_H
#define TAMB_TEST_SUPPORT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace support {

// Moves the calling process into a private System V IPC namespace (with a user namespace when
// not root), so that registry tests never meet a real server or each other. False with the
// reason when the system refuses; callers skip then.
bool enter_ipc_namespace(std::string *why);

// True when this test binary runs in a private IPC namespace of its own. Every binary enters
// one before main, so no test ever meets the machine's registry or leaves a segment behind;
// tests that touch System V IPC skip when this is false.
bool ipc_is_private();

// Moves the calling process into a private mount namespace whose mounts do not propagate
// back. Call it in a forked child only. False with the reason when refused.
bool enter_mount_namespace(std::string *why);

// True when this system lets a forked child enter a private mount namespace; asked once.
bool mount_namespaces_available();

// True when a child of this process may switch itself to SCHED_FIFO.
bool may_use_fifo();

// A temporary directory that the process that made it removes again; forked children that
// end through exit() leave it alone.
class TempDir {
 public:
  explicit TempDir(const char *prefix = "/tmp/tamb-test-");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_;
};

// Writes content to a new temporary file and binds it over target (a file that exists).
// Requires a private mount namespace. False with the reason when it fails.
bool bind_fixture(const std::string &content, const std::string &target, std::string *why);

// Reads file from its start to its end and closes it.
std::string read_all(FILE *file);

// Runs body in a forked child and returns its exit status, or 128 + signal when it was killed.
// The child ends with body's result through _exit, without running the parent's tests again.
int run_in_child(const std::function<int()> &body);

// Exit status that run_in_child bodies use to say "skipped"; the reason goes to stderr.
constexpr int child_skipped = 77;

// Makes the calling process user and group id, without supplementary groups: a process that
// the rest of the test, running as root, may signal and another switched process may not. In a
// forked child only. False when the system refuses (not root).
bool become_user(uid_t id);

// A user that forked children switch to: they may not signal the test's own processes (root's).
constexpr uid_t other_user = 4243;

// Waits for pid and returns its exit status, or 128 + signal.
int wait_for(pid_t pid);

// Counts the heap calls (malloc, calloc, realloc, free, aligned allocations) the calling
// thread makes while it lives. Unavailable in sanitizer builds, whose runtime owns the heap.
class HeapCounter {
 public:
  HeapCounter();
  ~HeapCounter();
  HeapCounter(const HeapCounter &) = delete;
  HeapCounter &operator=(const HeapCounter &) = delete;
  uint64_t calls() const;
  static bool available();

 private:
  uint64_t start_;
};

// Makes the calling thread's malloc and calloc calls for exactly size bytes fail while it lives,
// as they do when memory runs out. Available where HeapCounter is.
class AllocationFailure {
 public:
  explicit AllocationFailure(size_t size);
  ~AllocationFailure();
  AllocationFailure(const AllocationFailure &) = delete;
  AllocationFailure &operator=(const AllocationFailure &) = delete;

 private:
  size_t previous_;
};

// Stops the first write into one page at its instruction, on the thread that makes it: the
// page is read-only while the trap is armed, and the write fault makes it writable again and
// runs action before the write is made. Reads of the page go on undisturbed. A test stops a
// library writer at an exact point this way (say, between two stores of a guarded record),
// with no hook in the library. One trap at a time; the destructor disarms it.
class WriteTrap {
 public:
  WriteTrap(const void *address, std::function<void()> action);
  ~WriteTrap();
  WriteTrap(const WriteTrap &) = delete;
  WriteTrap &operator=(const WriteTrap &) = delete;
  bool armed() const;  // false when the page could not be protected
  bool fired() const;
};

// Whether a WriteTrap may stop a write made by an atomic operation. ThreadSanitizer's runtime
// makes those writes itself while holding a lock that any action would need again: there the
// trap would hang.
#if defined(__SANITIZE_THREAD__)
constexpr bool traps_atomic_writes = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool traps_atomic_writes = false;
#else
constexpr bool traps_atomic_writes = true;
#endif
#else
constexpr bool traps_atomic_writes = true;
#endif

// The seed of a randomised test: TAMB_TEST_SEED when set, to replay a run, else a fresh one,
// the same for every call in a process (and its forked children), so that one number replays
// all that a test draws. Printed at every call.
uint64_t test_seed();

}  // namespace support

#endif
