// SPDX-License-Identifier: MIT
#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "kit.h"

namespace support {
namespace {

bool write_file(const std::string &path, const std::string &content) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  return ok;
}

std::string errno_text(const char *what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

bool enter_ipc_namespace(std::string *why) { return kit::ipc_namespace_enter_new(why); }

bool enter_mount_namespace(std::string *why) {
  if (unshare(CLONE_NEWNS) != 0) {
    *why = errno_text("unshare of the mount namespace refused");
    return false;
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = errno_text("cannot make the mounts private");
    return false;
  }
  return true;
}

bool mount_namespaces_available() {
  static const bool available = run_in_child([] {
                                  std::string why;
                                  return enter_mount_namespace(&why) ? 0 : 1;
                                }) == 0;
  return available;
}

bool may_use_fifo() {
  return run_in_child([] {
           sched_param param{};
           param.sched_priority = sched_get_priority_min(SCHED_FIFO);
           return sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? 0 : 1;
         }) == 0;
}

TempDir::TempDir(const char *prefix) : owner_(getpid()) {
  std::string pattern = std::string(prefix) + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  if (getpid() == owner_) std::filesystem::remove_all(path_);
}

bool bind_fixture(const std::string &content, const std::string &target, std::string *why) {
  char path[] = "/tmp/tamb-fixture-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    *why = errno_text("mkstemp");
    return false;
  }
  close(fd);
  if (!write_file(path, content)) {
    *why = errno_text("cannot write the fixture");
    unlink(path);
    return false;
  }
  bool ok = mount(path, target.c_str(), nullptr, MS_BIND, nullptr) == 0;
  if (!ok) *why = errno_text(("cannot bind a fixture over " + target).c_str());
  // The mount keeps the file alive; its name is no longer needed.
  unlink(path);
  return ok;
}

namespace {
const bool ipc_private_at_start = kit::ipc_namespace_enter_private(nullptr);
}  // namespace

bool ipc_is_private() { return ipc_private_at_start; }

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool become_user(uid_t id) {
  return setgroups(0, nullptr) == 0 && setgid(id) == 0 && setuid(id) == 0;
}

int run_in_child(const std::function<int()> &body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int result = body();
    fflush(stdout);
    fflush(stderr);
    _exit(result);
  }
  return wait_for(pid);
}

std::string read_all(FILE *file) {
  std::string text;
  rewind(file);
  char buf[4096];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, got);
  fclose(file);
  return text;
}

namespace {

std::atomic<char *> trap_page{nullptr};
std::atomic<bool> trap_armed{false};
std::atomic<bool> trap_fired{false};
std::function<void()> trap_action;
struct sigaction trap_previous;

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void trap_fault(int, siginfo_t *info, void *) {
  char *page = trap_page.load();
  auto *at = static_cast<char *>(info->si_addr);
  if (!trap_armed.load() || at < page || at >= page + page_size()) {
    // Not the trap's fault: it happens again under the handling from before the trap.
    sigaction(SIGSEGV, &trap_previous, nullptr);
    return;
  }
  trap_armed.store(false);
  mprotect(page, page_size(), PROT_READ | PROT_WRITE);
  trap_fired.store(true);
  trap_action();
}

}  // namespace

WriteTrap::WriteTrap(const void *address, std::function<void()> action) {
  auto *page = reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(address) & ~(page_size() - 1));
  trap_action = std::move(action);
  trap_page.store(page);
  trap_fired.store(false);
  struct sigaction on_fault;
  memset(&on_fault, 0, sizeof on_fault);
  on_fault.sa_sigaction = trap_fault;
  on_fault.sa_flags = SA_SIGINFO;
  sigemptyset(&on_fault.sa_mask);
  sigaction(SIGSEGV, &on_fault, &trap_previous);
  trap_armed.store(mprotect(page, page_size(), PROT_READ) == 0);
}

WriteTrap::~WriteTrap() {
  if (trap_armed.exchange(false)) mprotect(trap_page.load(), page_size(), PROT_READ | PROT_WRITE);
  sigaction(SIGSEGV, &trap_previous, nullptr);
  trap_action = nullptr;
}

bool WriteTrap::armed() const { return trap_armed.load() || trap_fired.load(); }

bool WriteTrap::fired() const { return trap_fired.load(); }

uint64_t test_seed() {
  static const uint64_t seed = [] {
    const char *given = getenv("TAMB_TEST_SEED");
    return given != nullptr ? strtoull(given, nullptr, 0)
                            : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  }();
  printf("seed %llu (replay with TAMB_TEST_SEED=%llu)\n", static_cast<unsigned long long>(seed),
         static_cast<unsigned long long>(seed));
  fflush(stdout);
  return seed;
}

}  // namespace support
