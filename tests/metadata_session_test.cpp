// Metadata shared by real processes on one server directory: one writes while
// another reads, two write at once, one removes a subject while another lists.
// Every process opens the store itself, as separate programs would.
#include <db.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kit.h"
#include "support.h"
#include "tamb/metadata.h"

namespace {

// A child that has not finished by then is stuck (a deadlock in the database,
// say): the alarm ends it, and the test fails instead of hanging.
constexpr unsigned kChildSeconds = 60;

using support::TempDir;

// Failed expectations of the running test so far; a child counts only its own.
int FailedParts() {
  const testing::TestResult *result =
      testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i)
    failed += result->GetTestPartResult(i).failed();
  return failed;
}

// Children that start together: each waits until open() releases them all at
// once.
class Gate {
public:
  Gate() {
    if (pipe(fds_) != 0)
      abort();
  }
  ~Gate() {
    close(fds_[0]);
    if (fds_[1] >= 0)
      close(fds_[1]);
  }

  // Forks body into a process that works on the store under root; it ends
  // through exit(), so that the store is closed and its pages written like in
  // any program that ends normally.
  pid_t spawn(const std::string &root, const std::function<void()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0)
      return pid;
    alarm(kChildSeconds);
    close(fds_[1]);
    char byte;
    while (read(fds_[0], &byte, 1) < 0) {
    }
    hooks::log_set_echo(false);
    hooks::server_dir_set_root(root);
    int failed_before = FailedParts();
    body();
    exit(FailedParts() > failed_before ? 1 : 0);
  }

  void open() {
    close(fds_[1]);
    fds_[1] = -1;
  }

private:
  int fds_[2];
};

// Runs each body in its own process, all released at once, and expects each to
// succeed.
void RunTogether(const std::string &root,
                 const std::vector<std::function<void()>> &bodies) {
  Gate gate;
  std::vector<pid_t> pids;
  for (const auto &body : bodies)
    pids.push_back(gate.spawn(root, body));
  gate.open();
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(support::wait_for(pids[i]), 0)
        << "process " << i << " (status 142: it hung and its alarm ended it)";
  }
}

// Checks the file's structure with Berkeley DB itself, once no process has it
// open.
void ExpectIntactFile(const std::string &root) {
  std::string path = root + "/default/metadata.db";
  auto db_create = reinterpret_cast<int (*)(DB **, DB_ENV *, uint32_t)>(
      dlsym(RTLD_DEFAULT, "db_create"));
  ASSERT_NE(db_create, nullptr);
  DB *db = nullptr;
  ASSERT_EQ(db_create(&db, nullptr, 0), 0);
  EXPECT_EQ(db->verify(db, path.c_str(), nullptr, nullptr, 0), 0) << path;
}

std::string Key(int writer, int i) {
  return "w" + std::to_string(writer) + "-" + std::to_string(i);
}

tamb_uuid_t Subject(int i) { return tamb_port_uuid_generate(i % 50); }

TEST(MetadataSession, WhatOneProcessWritesAnotherReads) {
  TempDir root;
  RunTogether(root.path(), {[] {
                for (int i = 0; i < 100; ++i) {
                  std::string key = Key(0, i),
                              value = "value " + std::to_string(i);
                  ASSERT_EQ(tamb_set_property(nullptr, Subject(i), key.c_str(),
                                              value.c_str(),
                                              i % 3 ? "text/plain" : nullptr),
                            0);
                }
              }});
  // A counter rewritten while another process watches it: every read sees a
  // whole value, and the values never go back.
  constexpr int last = 300;
  RunTogether(
      root.path(),
      {[] {
         for (int n = 1; n <= last; ++n) {
           std::string value = std::to_string(n);
           ASSERT_EQ(tamb_set_property(nullptr, Subject(0), "counter",
                                       value.c_str(), "count"),
                     0);
         }
       },
       [] {
         for (int i = 0; i < 100; ++i) {
           char *value = nullptr, *type = nullptr;
           std::string expected = "value " + std::to_string(i);
           ASSERT_EQ(
               tamb_get_property(Subject(i), Key(0, i).c_str(), &value, &type),
               0);
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
  // Each round starts on an empty directory, so that the two also create the
  // store together.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TempDir root;
    std::vector<std::function<void()>> writers;
    for (int w = 0; w < 2; ++w) {
      // With a client, each set probes for the key before it writes: the
      // pattern that deadlocked in the hash locking when nothing kept the
      // writers apart. The handle only has to exist; nobody in these processes
      // takes the notices.
      writers.push_back([w] {
        tamb_client_control_t control{};
        tamb_client_t client{};
        client.control = &control;
        for (int i = 0; i < 500; ++i) {
          ASSERT_EQ(tamb_set_property(&client, Subject(i), Key(w, i).c_str(),
                                      "written", nullptr),
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
                  ASSERT_EQ(tamb_set_property(nullptr, steady, key.c_str(),
                                              "kept", nullptr),
                            0);
                }
              }});
  RunTogether(root.path(),
              {[&] {
                 for (int round = 0; round < 60; ++round) {
                   for (int i = 0; i < 10; ++i) {
                     std::string key = "k" + std::to_string(i),
                                 value = "v" + std::to_string(i);
                     ASSERT_EQ(tamb_set_property(nullptr, busy, key.c_str(),
                                                 value.c_str(), nullptr),
                               0);
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
                     // Whatever is listed is a whole property as it was
                     // written.
                     EXPECT_EQ(std::string("v") + (desc.properties[i].key + 1),
                               desc.properties[i].value);
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

} // namespace
