// SPDX-License-Identifier: MIT
// Metadata shared by real processes on one server directory: one writes while another reads,
// two write at once, one removes a subject while another lists, and processes killed at random
// moments of their calls. Every process opens the store itself, as separate programs would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_store.h"
#include "metadata_children.h"
#include "metadata_lock.h"
#include "store_format.h"
#include "support.h"
#include "tamb/metadata.h"

// Berkeley DB keeps the heap of an environment that it declared failed when its handles are
// closed, so a process that lived through another's recovery ends with those blocks. Its
// allocations show only Berkeley DB's own frames, which are matched by module; the one-process
// suite checks the module's use of Berkeley DB's memory without this.
extern "C" const char *__lsan_default_suppressions() { return "leak:libdb-5.3.so\n"; }

namespace {

using metadata_children::Gate;
using support::TempDir;

// Runs each body in its own process, all released at once, and expects each to succeed.
void RunTogether(const std::string &root, const std::vector<std::function<void()>> &bodies) {
  Gate gate;
  std::vector<pid_t> pids;
  for (const auto &body : bodies) pids.push_back(gate.spawn(root, body));
  gate.open();
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(support::wait_for(pids[i]), 0)
        << "process " << i << " (status 142: it hung and its alarm ended it)";
  }
}

// Checks the file's structure with Berkeley DB itself, once no process has it open.
void ExpectIntactFile(const std::string &root) {
  const std::string dir = root + "/default";
  EXPECT_EQ(kit::RawStore::verify(dir), 0) << dir;
}

std::string Key(int writer, int i) {
  return "w" + std::to_string(writer) + "-" + std::to_string(i);
}

tamb_uuid_t Subject(int i) { return tamb_port_uuid_generate(i % 50); }

TEST(MetadataSession, WhatOneProcessWritesAnotherReads) {
  TempDir root;
  RunTogether(root.path(), {[] {
                for (int i = 0; i < 100; ++i) {
                  std::string key = Key(0, i), value = "value " + std::to_string(i);
                  ASSERT_EQ(tamb_set_property(nullptr, Subject(i), key.c_str(), value.c_str(),
                                              i % 3 ? "text/plain" : nullptr),
                            0);
                }
              }});
  // A counter rewritten while another process watches it: every read sees a whole value, and
  // the values never go back.
  constexpr int last = 300;
  RunTogether(
      root.path(),
      {[] {
         for (int n = 1; n <= last; ++n) {
           std::string value = std::to_string(n);
           ASSERT_EQ(tamb_set_property(nullptr, Subject(0), "counter", value.c_str(), "count"), 0);
         }
       },
       [] {
         for (int i = 0; i < 100; ++i) {
           char *value = nullptr, *type = nullptr;
           std::string expected = "value " + std::to_string(i);
           ASSERT_EQ(tamb_get_property(Subject(i), Key(0, i).c_str(), &value, &type), 0);
           EXPECT_EQ(value, expected);
           EXPECT_EQ(type != nullptr, i % 3 != 0);
           free(value);
           free(type);
         }
         int seen = 0;
         while (seen < last) {
           char *value = nullptr, *type = nullptr;
           if (tamb_get_property(Subject(0), "counter", &value, &type) == 0) {
             int now = atoi(value);
             EXPECT_GE(now, seen);
             EXPECT_STREQ(type, "count");
             seen = now;
             free(value);
             free(type);
           }
         }
       }});
  ExpectIntactFile(root.path());
}

TEST(MetadataSession, TwoProcessesWritingAtOnceLoseNothing) {
  // Each round starts on an empty directory, so that the two also create the store together.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TempDir root;
    std::vector<std::function<void()>> writers;
    for (int w = 0; w < 2; ++w) {
      // With a client, each set probes for the key before it writes: the pattern that
      // deadlocked in the hash locking when nothing kept the writers apart. The handle only has
      // to exist; nobody in these processes takes the notices.
      writers.push_back([w] {
        tamb_client_control_t control{};
        tamb_client_t client{};
        client.control = &control;
        for (int i = 0; i < 500; ++i) {
          ASSERT_EQ(tamb_set_property(&client, Subject(i), Key(w, i).c_str(), "written", nullptr),
                    0);
        }
      });
    }
    RunTogether(root.path(), writers);
    RunTogether(root.path(), {[] {
                  tamb_description_t *all = nullptr;
                  int subjects = tamb_get_all_properties(&all);
                  ASSERT_EQ(subjects, 50);
                  uint32_t properties = 0;
                  for (int i = 0; i < subjects; ++i) {
                    properties += all[i].property_count;
                    tamb_free_description(&all[i], 0);
                  }
                  free(all);
                  EXPECT_EQ(properties, 1000u);
                }});
    ExpectIntactFile(root.path());
  }
}

TEST(MetadataSession, RemovingASubjectWhileAnotherProcessListsIt) {
  TempDir root;
  const tamb_uuid_t busy = tamb_client_uuid_generate(), steady = busy + 1;
  RunTogether(root.path(), {[&] {
                for (int i = 0; i < 5; ++i) {
                  std::string key = "k" + std::to_string(i);
                  ASSERT_EQ(tamb_set_property(nullptr, steady, key.c_str(), "kept", nullptr), 0);
                }
              }});
  RunTogether(
      root.path(),
      {[&] {
         for (int round = 0; round < 60; ++round) {
           for (int i = 0; i < 10; ++i) {
             std::string key = "k" + std::to_string(i), value = "v" + std::to_string(i);
             ASSERT_EQ(tamb_set_property(nullptr, busy, key.c_str(), value.c_str(), nullptr), 0);
           }
           ASSERT_EQ(tamb_remove_properties(nullptr, busy), 10);
         }
       },
       [&] {
         for (int round = 0; round < 200; ++round) {
           tamb_description_t desc;
           int count = tamb_get_properties(busy, &desc);
           ASSERT_GE(count, 0);
           ASSERT_LE(count, 10);
           for (int i = 0; i < count; ++i) {
             // Whatever is listed is a whole property as it was written.
             EXPECT_EQ(std::string("v") + (desc.properties[i].key + 1), desc.properties[i].value);
           }
           tamb_free_description(&desc, 0);
           ASSERT_EQ(tamb_get_properties(steady, &desc), 5);
           tamb_free_description(&desc, 0);
           tamb_description_t *all = nullptr;
           int subjects = tamb_get_all_properties(&all);
           ASSERT_GE(subjects, 1);
           for (int s = 0; s < subjects; ++s) {
             if (all[s].subject == steady) {
               EXPECT_EQ(all[s].property_count, 5u);
             }
             tamb_free_description(&all[s], 0);
           }
           free(all);
         }
       }});
  ExpectIntactFile(root.path());
}

// ---- Crashes --------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

constexpr int kKills = 32;
constexpr int kKillsAlone = 8;  // the first kills happen with no other process on the store
// What any call may take, a recovery included; the sanitizers slow Berkeley DB's recovery down
// several times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kCallSeconds = 3.0;
#else
constexpr double kCallSeconds = 1.0;
#endif
constexpr double kStuckSeconds = 10;  // a process that runs longer than this is stuck

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits at most seconds for pid. A process still running then is stuck: it is killed, and -1
// says so.
int WaitWithin(pid_t pid, double seconds) {
  Clock::time_point start = Clock::now();
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (SecondsSince(start) > seconds) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    usleep(1000);
  }
}

// Reads what the processes on the other end wrote, until they all closed it or seconds passed.
template <typename Record>
std::vector<Record> Drain(int fd, double seconds) {
  std::vector<Record> records;
  Record record;
  size_t have = 0;
  Clock::time_point start = Clock::now();
  pollfd readable{fd, POLLIN, 0};
  while (SecondsSince(start) < seconds) {
    if (poll(&readable, 1, 100) <= 0) continue;
    ssize_t n = read(fd, reinterpret_cast<char *>(&record) + have, sizeof record - have);
    if (n == 0) break;
    if (n < 0) continue;
    have += n;
    if (have == sizeof record) {
      records.push_back(record);
      have = 0;
    }
  }
  close(fd);
  return records;
}

struct Pipe {
  Pipe() {
    if (pipe(fds) != 0) abort();
  }
  int fds[2];
};

template <typename Record>
void Send(int fd, const Record &record) {
  if (write(fd, &record, sizeof record) != sizeof record) abort();
}

// A property a killed process wrote, or one it removed again.
struct Expected {
  tamb_uuid_t subject;
  std::string key, value;
  enum State { present, absent, either } state;
};

// What a process tells the test, each time a call returned success: it stored property round
// (kind 'S'), it stored the properties of round that it is about to remove ('T'), or it removed
// them ('R').
struct Report {
  char kind;
  int round;
};

Expected Written(int process, int round) {
  std::string name = std::to_string(process) + "-" + std::to_string(round);
  return {tamb_port_uuid_generate(round % 13), "w" + name, "value " + name, Expected::present};
}

// Even rounds remove one property, odd rounds the three properties of a subject.
std::vector<Expected> Doomed(int process, int round) {
  tamb_uuid_t subject = tamb_port_uuid_generate(1000 + process * 1000 + round);
  std::vector<Expected> doomed;
  for (int k = 0; k < (round % 2 ? 3 : 1); ++k) {
    doomed.push_back({subject, "d" + std::to_string(k), "doomed", Expected::either});
  }
  return doomed;
}

bool Set(const Expected &e) {
  return tamb_set_property(nullptr, e.subject, e.key.c_str(), e.value.c_str(), nullptr) == 0;
}

void WriteRound(int process, int fd, int round) {
  if (!Set(Written(process, round))) exit(1);
  Send(fd, Report{'S', round});
}

// The work of a process that will be killed, reported to fd; rounds < 0 runs until the kill.
void Write(int process, int fd, int rounds) {
  for (int round = 0; rounds < 0 || round < rounds; ++round) WriteRound(process, fd, round);
}

void Remove(int process, int fd) {
  for (int round = 0;; ++round) {
    std::vector<Expected> doomed = Doomed(process, round);
    for (const Expected &e : doomed) {
      if (!Set(e)) exit(1);
    }
    Send(fd, Report{'T', round});
    bool removed = round % 2 ? tamb_remove_properties(nullptr, doomed[0].subject) == 3
                             : tamb_remove_property(nullptr, doomed[0].subject, "d0") == 0;
    if (!removed) exit(1);
    Send(fd, Report{'R', round});
  }
}

// Mostly reads, of the properties of its first three rounds and of whole subjects.
void Read(int process, int fd) {
  Write(process, fd, 3);
  for (int round = 3;; ++round) {
    Expected earlier = Written(process, round % 3);
    char *value = nullptr;
    if (tamb_get_property(earlier.subject, earlier.key.c_str(), &value, nullptr) != 0) exit(1);
    free(value);
    tamb_description_t desc;
    if (tamb_get_properties(tamb_port_uuid_generate(round % 13), &desc) < 0) exit(1);
    tamb_free_description(&desc, 0);
    tamb_description_t *all = nullptr;
    int subjects = tamb_get_all_properties(&all);
    if (subjects < 0) exit(1);
    for (int s = 0; s < subjects; ++s) tamb_free_description(&all[s], 0);
    free(all);
    if (round % 8 == 0) WriteRound(process, fd, round);
  }
}

// What a process that comes after a kill found.
struct Check {
  int lost;         // present properties missing or changed
  int resurrected;  // removed properties back again
  double first_call, later_call;
};

// Reads back every expected property, the first call timed apart (it opens the store, and
// recovers it when the killed process left it damaged), then stores more.
Check CheckStore(const std::vector<Expected> &expected, const std::vector<Expected> &more) {
  Check check{0, 0, 0, 0};
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i == 1) {
      check.first_call = SecondsSince(start);
      start = Clock::now();
    }
    const Expected &e = expected[i];
    char *value = nullptr, *type = nullptr;
    bool found = tamb_get_property(e.subject, e.key.c_str(), &value, &type) == 0;
    bool intact = found && value == e.value && type == nullptr;
    check.lost += e.state == Expected::present && !intact;
    check.lost += e.state == Expected::either && found && !intact;
    check.resurrected += e.state == Expected::absent && found;
    free(value);
    free(type);
  }
  check.later_call = SecondsSince(start) / std::max<size_t>(expected.size() - 1, 1);
  for (const Expected &e : more) {
    if (!Set(e)) exit(1);
  }
  return check;
}

void Expect(std::vector<Expected> *expected, int process, const std::vector<Report> &reports) {
  for (const Report &r : reports) {
    if (r.kind == 'S') {
      expected->push_back(Written(process, r.round));
    } else if (r.kind == 'T') {
      for (const Expected &e : Doomed(process, r.round)) expected->push_back(e);
    } else {
      for (Expected &e : *expected) {
        for (const Expected &d : Doomed(process, r.round)) {
          if (e.subject == d.subject && e.key == d.key) e.state = Expected::absent;
        }
      }
    }
  }
}

TEST(MetadataCrash, AProcessKilledInAnyCallNeverWedgesTheStore) {
  TempDir root;
  std::mt19937_64 random(support::test_seed());
  std::vector<Expected> expected = {Written(9999, 0)};
  RunTogether(root.path(), {[&] { ASSERT_TRUE(Set(expected[0])); }});

  int kills = 0, killed_opening = 0, hangs = 0, lost = 0, resurrected = 0;
  double slowest_first_call = 0;
  pid_t bystander = -1;
  Pipe stop, bystander_result;
  for (int kill_index = 0; kill_index < kKills && hangs == 0; ++kill_index) {
    SCOPED_TRACE("kill " + std::to_string(kill_index));
    if (kill_index == kKillsAlone) {
      // From now on a process keeps the store open all along, so that those after a kill join
      // a store that the dead process shared with it, and it meets every recovery itself.
      Gate gate;
      bystander = gate.spawn(root.path(), [&] {
        close(stop.fds[1]);
        double slowest = 0;
        pollfd stopped{stop.fds[0], POLLIN, 0};
        while (poll(&stopped, 1, 1) == 0) {
          Clock::time_point start = Clock::now();
          char *value = nullptr;
          EXPECT_EQ(
              tamb_get_property(expected[0].subject, expected[0].key.c_str(), &value, nullptr), 0);
          free(value);
          slowest = std::max(slowest, SecondsSince(start));
        }
        Send(bystander_result.fds[1], slowest);
      });
      gate.open();
      close(stop.fds[0]);
      close(bystander_result.fds[1]);
    }

    // Victims of kinds 0 to 3: one of two processes that open the store at once, a writer, a
    // remover, a reader. A kill comes at a random moment of its first milliseconds, which
    // often fall into its opening of the store, or later in its calls.
    int kind = kill_index % 4;
    int victim = kill_index * 2, partner = victim + 1;
    Pipe victim_reports, partner_reports;
    Gate gate;
    pid_t victim_pid = gate.spawn(root.path(), [&] {
      if (kind == 2) Remove(victim, victim_reports.fds[1]);
      if (kind == 3) Read(victim, victim_reports.fds[1]);
      Write(victim, victim_reports.fds[1], -1);
    });
    pid_t partner_pid = -1;
    if (kind == 0) {
      partner_pid = gate.spawn(root.path(), [&] { Write(partner, partner_reports.fds[1], 20); });
    }
    close(victim_reports.fds[1]);
    close(partner_reports.fds[1]);
    gate.open();
    int max_delay_us = kind == 0 ? 5000 : 80000;
    usleep(std::uniform_int_distribution<int>(0, max_delay_us)(random));
    kill(victim_pid, SIGKILL);
    int victim_status = 0;
    waitpid(victim_pid, &victim_status, 0);
    EXPECT_TRUE(WIFSIGNALED(victim_status))
        << "the victim ended on its own (a call failed), status " << victim_status;
    ++kills;
    if (partner_pid > 0) {
      int status = WaitWithin(partner_pid, kStuckSeconds);
      hangs += status == -1;
      EXPECT_EQ(status, 0) << "the process that opened the store beside the killed one";
    }
    std::vector<Report> reports = Drain<Report>(victim_reports.fds[0], kStuckSeconds);
    killed_opening += reports.empty();
    Expect(&expected, victim, reports);
    Expect(&expected, partner, Drain<Report>(partner_reports.fds[0], kStuckSeconds));

    // A process that comes after.
    Pipe result;
    std::vector<Expected> more;
    for (int round = 0; round < 5; ++round) {
      more.push_back(Written(1000 + kill_index, round));
    }
    Gate after;
    pid_t checker =
        after.spawn(root.path(), [&] { Send(result.fds[1], CheckStore(expected, more)); });
    close(result.fds[1]);
    after.open();
    int status = WaitWithin(checker, kStuckSeconds);
    std::vector<Check> checks = Drain<Check>(result.fds[0], 1);
    if (status == -1) {
      ++hangs;
      ADD_FAILURE() << "the store is wedged: the process after the kill is stuck";
      break;
    }
    ASSERT_EQ(status, 0);
    ASSERT_EQ(checks.size(), 1u);
    lost += checks[0].lost;
    resurrected += checks[0].resurrected;
    slowest_first_call = std::max(slowest_first_call, checks[0].first_call);
    EXPECT_LT(checks[0].first_call, kCallSeconds + checks[0].later_call);
    for (const Expected &e : more) expected.push_back(e);
    ExpectIntactFile(root.path());
  }

  close(stop.fds[1]);
  if (bystander > 0) {
    std::vector<double> slowest = Drain<double>(bystander_result.fds[0], kStuckSeconds);
    int status = WaitWithin(bystander, kStuckSeconds);
    hangs += status == -1;
    EXPECT_EQ(status, 0) << "the process that kept the store open";
    ASSERT_EQ(slowest.size(), 1u);
    EXPECT_LT(slowest[0], kCallSeconds) << "its slowest call";
  }
  std::cout << expected.size() << " properties, kills " << kills << " (" << killed_opening
            << " before their first call returned), hangs " << hangs << ", lost " << lost
            << ", removed but back " << resurrected << ", slowest first call after a kill "
            << slowest_first_call << " s\n";
  EXPECT_EQ(hangs, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(resurrected, 0);
  ExpectIntactFile(root.path());
}

using tamb::store::SharedStore;

// The store's lock file, mapped as every process maps it.
SharedStore *MapLockFile(const std::string &root) {
  int fd = open((root + "/default/" + tamb::store::lock_file).c_str(), O_RDWR | O_CLOEXEC);
  void *mapped =
      fd < 0 ? MAP_FAILED
             : mmap(nullptr, sizeof(SharedStore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (fd >= 0) close(fd);
  if (mapped == MAP_FAILED) abort();
  return static_cast<SharedStore *>(mapped);
}

// The generation that each recovery bumps.
uint64_t Generation(SharedStore *store) {
  if (pthread_mutex_lock(&store->mutex) != 0) abort();
  uint64_t generation = store->generation;
  pthread_mutex_unlock(&store->mutex);
  return generation;
}

// A recovery removes the environment that a bystander's handles belong to and marks it failed.
// The bystander's next call must take handles of the new one: through the old ones it would
// meet the failed environment (Berkeley DB reports that on standard error) and recover the
// store again, and so would every process after it, each one's handles outdated by the last.
TEST(MetadataCrash, AProcessBesideARecoveryTakesHandlesOfTheNewEnvironment) {
  TempDir root;
  const tamb_uuid_t subject = tamb_client_uuid_generate();
  Pipe ready, go;
  Gate gate;
  pid_t bystander = gate.spawn(root.path(), [&] {
    ASSERT_EQ(tamb_set_property(nullptr, subject, "p", "before", nullptr), 0);
    Send(ready.fds[1], 'r');
    char byte;
    ASSERT_EQ(read(go.fds[0], &byte, 1), 1);
    FILE *said = tmpfile();
    ASSERT_NE(said, nullptr);
    fflush(stderr);
    ASSERT_NE(dup2(fileno(said), STDERR_FILENO), -1);
    char *value = nullptr;
    EXPECT_EQ(tamb_get_property(subject, "p", &value, nullptr), 0);
    EXPECT_STREQ(value, "after");
    free(value);
    EXPECT_EQ(tamb_set_property(nullptr, subject, "q", "bystander", nullptr), 0);
    fflush(stderr);
    EXPECT_EQ(support::read_all(said), "") << "it used its handles of the failed environment";
  });
  close(ready.fds[1]);
  gate.open();
  char byte;
  ASSERT_EQ(read(ready.fds[0], &byte, 1), 1);
  SharedStore *store = MapLockFile(root.path());
  const uint64_t before = Generation(store);
  // A process dies holding the store lock, inside a call: the next call recovers the store.
  pid_t holder = fork();
  if (holder == 0) _exit(pthread_mutex_lock(&store->mutex));
  ASSERT_EQ(support::wait_for(holder), 0);
  RunTogether(root.path(),
              {[&] { ASSERT_EQ(tamb_set_property(nullptr, subject, "p", "after", nullptr), 0); }});
  EXPECT_EQ(Generation(store), before + 1) << "the recovery told the other processes";
  Send(go.fds[1], 'g');
  EXPECT_EQ(support::wait_for(bystander), 0);
  EXPECT_EQ(Generation(store), before + 1) << "and nobody recovered again";
  RunTogether(root.path(), {[&] {
                char *value = nullptr;
                EXPECT_EQ(tamb_get_property(subject, "q", &value, nullptr), 0);
                EXPECT_STREQ(value, "bystander");
                free(value);
              }});
  munmap(store, sizeof *store);
  ExpectIntactFile(root.path());
}

}  // namespace
