// SPDX-License-Identifier: MIT
// The stand-in's hooks: what the library relies on from the client core and the server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"
#include "support.h"

namespace {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hooks::log_set_echo(false);
    hooks::log_clear();
  }
  void TearDown() override { hooks::log_set_echo(true); }
};

using Log = HostTest;

TEST_F(Log, KeepsExactTextAndLevelOfEachHook) {
  tamb_error("cannot read port id from %s", "server");
  tamb_info("TAMB compiled with %s SHM support.", "System V");
  tamb_messagebuffer_add("transport command: %s", "START");
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "cannot read port id from server"));
  EXPECT_TRUE(hooks::log_has(hooks::Level::info, "TAMB compiled with System V SHM support."));
  EXPECT_TRUE(hooks::log_has(hooks::Level::trace, "transport command: START"));
  EXPECT_FALSE(hooks::log_has(hooks::Level::error, "transport command: START"));
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 1u);
  hooks::log_clear();
  EXPECT_TRUE(hooks::log_messages().empty());
}

TEST_F(Log, KeepsTheNewestMessagesAndCutsLongOnes) {
  for (int i = 0; i < 300; ++i) tamb_error("message %d", i);
  std::vector<hooks::Message> messages = hooks::log_messages();
  ASSERT_EQ(messages.size(), 256u);
  EXPECT_EQ(messages.front().text, "message 44");
  EXPECT_EQ(messages.back().text, "message 299");

  hooks::log_clear();
  std::string long_text(2000, 'x');
  tamb_error("%s", long_text.c_str());
  messages = hooks::log_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, std::string(511, 'x'));
}

// Each concurrent message names its writer and number, and its level, length and filler
// follow from both, so a text made of pieces of two messages cannot pass for either.
struct Tagged {
  int writer;
  int number;
};

hooks::Level tagged_level(Tagged m) { return static_cast<hooks::Level>((m.writer + m.number) % 3); }

std::string tagged_text(Tagged m) {
  char head[32];
  snprintf(head, sizeof head, "w%02d #%06d |", m.writer, m.number);
  std::string text = head;
  text.append((m.writer * 131 + m.number * 37) % 600,
              static_cast<char>('a' + (m.writer * 7 + m.number) % 26));
  return text.substr(0, 511);  // cut like every message
}

void report_tagged(Tagged m) {
  std::string text = tagged_text(m);
  switch (tagged_level(m)) {
    case hooks::Level::error:
      tamb_error("%s", text.c_str());
      break;
    case hooks::Level::info:
      tamb_info("%s", text.c_str());
      break;
    case hooks::Level::trace:
      tamb_messagebuffer_add("%s", text.c_str());
      break;
  }
}

// Checks one copy of the log: every message whole and of its level, each writer's in the order
// it wrote them, at most 256. Returns each writer's numbers in the order read.
std::vector<std::vector<int>> check_tagged(const std::vector<hooks::Message> &messages,
                                           int writers) {
  std::vector<std::vector<int>> numbers(writers);
  EXPECT_LE(messages.size(), 256u);
  for (const hooks::Message &m : messages) {
    Tagged tagged{-1, -1};
    if (sscanf(m.text.c_str(), "w%d #%d |", &tagged.writer, &tagged.number) != 2 ||
        tagged.writer < 0 || tagged.writer >= writers || tagged.number < 0) {
      ADD_FAILURE() << "not a message of the writers: " << m.text;
      continue;
    }
    if (m.text != tagged_text(tagged) || m.level != tagged_level(tagged)) {
      ADD_FAILURE() << "mixed or torn message: level " << int(m.level) << " " << m.text;
      continue;
    }
    std::vector<int> &mine = numbers[tagged.writer];
    if (!mine.empty() && mine.back() >= tagged.number) {
      ADD_FAILURE() << "writer " << tagged.writer << ": " << tagged.number << " read after "
                    << mine.back();
    }
    mine.push_back(tagged.number);
  }
  return numbers;
}

TEST_F(Log, ConcurrentWritersAndReaderSeeWholeMessagesInOrder) {
  struct Case {
    int writers;
    int per_writer;
    bool reading;  // a reader copies the log all the while
  };
  const Case cases[] = {
      {4, 50, false},    // fewer than 256 in all: none lost
      {1, 20000, true},  // one writer laps the ring under a reader
      {4, 20000, true},  // writers lap each other on the slots under a reader
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.writers << " writers of " << c.per_writer);
    hooks::log_clear();
    std::atomic<int> running{c.writers};
    std::vector<std::thread> writers;
    for (int w = 0; w < c.writers; ++w) {
      writers.emplace_back([w, &c, &running] {
        for (int i = 0; i < c.per_writer; ++i) report_tagged({w, i});
        running.fetch_sub(1);
      });
    }
    if (c.reading) {
      while (running.load() > 0 && !HasFailure()) {
        check_tagged(hooks::log_messages(), c.writers);
      }
    }
    for (std::thread &writer : writers) writer.join();

    // With every writer done the log holds exactly the last messages, and of each writer a
    // run that ends with its last message unless later ones of others pushed it all out.
    std::vector<hooks::Message> messages = hooks::log_messages();
    size_t total = static_cast<size_t>(c.writers) * c.per_writer;
    EXPECT_EQ(messages.size(), std::min<size_t>(total, 256));
    std::vector<std::vector<int>> numbers = check_tagged(messages, c.writers);
    for (int w = 0; w < c.writers; ++w) {
      const std::vector<int> &mine = numbers[w];
      if (mine.empty()) continue;
      EXPECT_EQ(mine.back(), c.per_writer - 1) << "writer " << w;
      EXPECT_EQ(mine.back() - mine.front() + 1, static_cast<int>(mine.size())) << "writer " << w;
    }
    if (total <= 256) {
      for (int w = 0; w < c.writers; ++w) EXPECT_EQ(numbers[w].size(), size_t(c.per_writer));
    }
  }
  hooks::log_clear();
  EXPECT_TRUE(hooks::log_messages().empty());
  tamb_messagebuffer_add("after %s", "clear");
  std::vector<hooks::Message> messages = hooks::log_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "after clear");
}

// The formats the library traces with on the process thread format on the stack.
TEST_F(Log, ReportingMakesNoHeapCalls) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  const char name[] = "slow client";
  uint64_t calls;
  {
    support::HeapCounter counter;
    for (int i = 0; i < 300; ++i) {
      tamb_messagebuffer_add("transport Rolling, %8.6f sec left for poll", 1.5 * i);
      tamb_messagebuffer_add("new transport position: %u, id=0x%lx", 48000u * i, 0xdeadbeefUL);
      tamb_messagebuffer_add("polling sync client %s", name);
      tamb_error("sync poll halted with %u clients and %8.6f secs remaining", 3u, 1e300);
      tamb_info("%s resigned as timebase master", name);
    }
    calls = counter.calls();
  }
  EXPECT_EQ(calls, 0u);
  EXPECT_TRUE(
      hooks::log_has(hooks::Level::trace, "new transport position: 14352000, id=0xdeadbeef"));
}

using ServerDir = HostTest;

TEST_F(ServerDir, PlacesEachServerUnderTheRootWithPrivateMode) {
  char root_template[] = "/tmp/tamb-host-test-XXXXXX";
  ASSERT_NE(mkdtemp(root_template), nullptr);
  std::string root = root_template;
  hooks::server_dir_set_root(root);

  char buf[TAMB_PATH_MAX + 1];
  EXPECT_EQ(tamb_server_dir("studio", buf), buf);
  EXPECT_EQ(std::string(buf), root + "/studio");
  struct stat st;
  ASSERT_EQ(stat(buf, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  EXPECT_EQ(std::string(tamb_server_dir(nullptr, buf)), root + "/default");
  EXPECT_EQ(std::string(tamb_server_dir("", buf)), root + "/default");

  hooks::server_dir_set_root("");
  EXPECT_EQ(std::string(tamb_server_dir("x", buf)), "/tmp/tamb-" + std::to_string(getuid()) + "/x");
  rmdir(buf);
  rmdir((root + "/studio").c_str());
  rmdir((root + "/default").c_str());
  rmdir(root.c_str());
}

using Requests = HostTest;

int answer_port_register(tamb_client_t *client, tamb_request_t *request, void *arg) {
  EXPECT_NE(client, nullptr);
  request->body.port.port_id = *static_cast<uint32_t *>(arg);
  return 0;
}

int refuse(tamb_client_t *, tamb_request_t *, void *) { return EBUSY; }

TEST_F(Requests, DispatchByCodeAndWriteStatusOnEveryReturn) {
  kit::Server server;
  kit::Client *client = server.add_client("req");
  uint32_t next_port = 7;
  hooks::request_set_handler(TAMB_REQ_PORT_REGISTER, answer_port_register, &next_port);
  hooks::request_set_handler(TAMB_REQ_TIMEBASE_SET, refuse);

  tamb_request_t request{};
  request.type = TAMB_REQ_PORT_REGISTER;
  request.status = -99;
  uint64_t before = hooks::request_count();
  EXPECT_EQ(tamb_client_deliver_request(&client->handle, &request), 0);
  EXPECT_EQ(request.status, 0);
  EXPECT_EQ(request.body.port.port_id, 7u);

  request.type = TAMB_REQ_TIMEBASE_SET;
  request.status = -99;
  EXPECT_EQ(tamb_client_deliver_request(&client->handle, &request), EBUSY);
  EXPECT_EQ(request.status, EBUSY);

  // No server handler yet: the delivery fails, and says so in status too.
  request.type = 7;  // a code the server does not use
  request.status = 0;
  EXPECT_EQ(tamb_client_deliver_request(&client->handle, &request), ENOSYS);
  EXPECT_EQ(request.status, ENOSYS);
  request.type = 1000;
  request.status = 0;
  EXPECT_NE(tamb_client_deliver_request(&client->handle, &request), 0);
  EXPECT_NE(request.status, 0);
  request.type = -1;
  EXPECT_NE(tamb_client_deliver_request(&client->handle, &request), 0);
  EXPECT_EQ(hooks::request_count(), before + 5);

  EXPECT_NE(tamb_client_deliver_request(&client->handle, nullptr), 0);
  hooks::request_set_handler(TAMB_REQ_PORT_REGISTER, nullptr);
  hooks::request_set_handler(TAMB_REQ_TIMEBASE_SET, nullptr);
}

using Clients = HostTest;

TEST_F(Clients, LookupByIdFindsExactlyTheLinkedClients) {
  kit::Server server(16, 256);
  EXPECT_EQ(server.control()->port_capacity, 16u);
  EXPECT_EQ(server.control()->buffer_size, 256u);
  kit::Client *a = server.add_client("a");
  kit::Client *b = server.add_client("b");
  kit::Client *c = server.add_client("c");
  EXPECT_EQ(b->handle.control->uuid, a->handle.control->uuid + 1);
  EXPECT_STREQ(c->handle.control->name, "c");
  EXPECT_EQ(c->handle.engine_control, server.control());
  EXPECT_LT(c->handle.request_fd, 0);
  // The two built-in port types' segments are attached; the unused slots are not.
  EXPECT_EQ(c->handle.port_segment[0].index, server.port_segment_index(0));
  EXPECT_NE(c->handle.port_segment[0].address, TAMB_SHM_NOT_ATTACHED);
  EXPECT_NE(c->handle.port_segment[1].address, TAMB_SHM_NOT_ATTACHED);
  EXPECT_EQ(c->handle.port_segment[2].address, TAMB_SHM_NOT_ATTACHED);

  tamb_engine_t *engine = server.engine();
  for (kit::Client *client : {a, b, c}) {
    EXPECT_EQ(tamb_client_internal_by_id(engine, client->handle.control->uuid), &client->internal);
  }
  EXPECT_EQ(tamb_client_internal_by_id(engine, 0), nullptr);
  EXPECT_EQ(tamb_client_internal_by_id(engine, tamb_port_uuid_generate(0)), nullptr);

  tamb_uuid_t removed = b->handle.control->uuid;
  engine->timebase_client = &b->internal;
  server.remove_client(b);
  EXPECT_EQ(tamb_client_internal_by_id(engine, removed), nullptr);
  EXPECT_EQ(engine->timebase_client, nullptr);
  EXPECT_EQ(tamb_client_internal_by_id(engine, c->handle.control->uuid), &c->internal);
}

// Another process finds the engine control block and a client control block through the
// registry alone, by index, and sees what the server wrote.
TEST_F(Clients, ControlBlocksLiveInRegistrySegmentsOtherProcessesAttach) {
  if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
  kit::Server server(8, 512);
  kit::Client *client = server.add_client("shared");
  server.control()->sync_timeout = 1234567;
  int16_t engine_index = server.control_index();
  int16_t client_index = client->control_segment.index;
  tamb_uuid_t uuid = client->handle.control->uuid;
  ASSERT_GE(engine_index, 0);
  ASSERT_GE(client_index, 0);
  EXPECT_NE(engine_index, client_index);

  int status = support::run_in_child([&] {
    tamb_shm_info_t engine{engine_index, TAMB_SHM_NOT_ATTACHED};
    tamb_shm_info_t block{client_index, TAMB_SHM_NOT_ATTACHED};
    if (tamb_attach_shm(&engine) != 0 || tamb_attach_shm(&block) != 0) return 1;
    auto *control = static_cast<tamb_control_t *>(engine.address);
    auto *client_control = static_cast<tamb_client_control_t *>(block.address);
    if (control->buffer_size != 512 || control->port_capacity != 8) return 2;
    if (control->sync_timeout != 1234567) return 3;
    if (client_control->uuid != uuid || strcmp(client_control->name, "shared") != 0) return 4;
    client_control->active = 1;  // written back through the shared segment
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(client->handle.control->active, 1);
}

TEST_F(Clients, SegmentsAreFreedWithTheirOwners) {
  if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
  int16_t engine_index;
  int16_t client_index;
  {
    kit::Server server;
    client_index = server.add_client("gone")->control_segment.index;
    engine_index = server.control_index();
  }
  // Both entries are free again: the next allocations take the lowest of them first.
  tamb_shm_info_t again{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  ASSERT_EQ(tamb_shmalloc(64, &again), 0);
  EXPECT_EQ(again.index, std::min(engine_index, client_index));
  tamb_destroy_shm(&again);
}

TEST(Processor, CpuTypeAnnouncesSseOnThisMachine) {
  EXPECT_EQ(cpu_type, hooks::cpu_detect());
  // Every x86-64 processor has SSE and SSE2, so the library must pick the SSE kernels here.
  EXPECT_NE(cpu_type & 0xfe, 0);
  std::string width = hooks::kernels_width();
  EXPECT_TRUE(width == "avx2" || width == "sse");
}

void plain_add(float *dest, const float *src, int count) {
  for (int i = 0; i < count; ++i) dest[i] += src[i];
}

TEST(Kernels, EveryPairMatchesThePlainLoopAndStaysInsideTheCount) {
  using Kernel = void (*)(float *, const float *, int);
  const Kernel copies[] = {x86_sse_copyf, x86_3dnow_copyf};
  const Kernel adds[] = {x86_sse_add2f, x86_3dnow_add2f};
  std::vector<float> src(80), dest(80), expect(80);
  for (int i = 0; i < 80; ++i) src[i] = 0.25f * static_cast<float>(i) - 3.0f;

  for (int count = 0; count <= 70; ++count) {
    for (int shift = 0; shift < 3; ++shift) {  // unaligned starts
      for (Kernel copy : copies) {
        std::fill(dest.begin(), dest.end(), 42.0f);
        copy(dest.data() + shift, src.data() + 1, count);
        for (int i = 0; i < 80; ++i) {
          bool inside = i >= shift && i < shift + count;
          ASSERT_EQ(dest[i], inside ? src[i - shift + 1] : 42.0f) << count << " " << i;
        }
      }
      for (Kernel add : adds) {
        for (int i = 0; i < 80; ++i) dest[i] = expect[i] = 1.5f * static_cast<float>(i);
        add(dest.data() + shift, src.data(), count);
        plain_add(expect.data() + shift, src.data(), count);
        ASSERT_EQ(dest, expect) << count;
      }
    }
  }
  std::fill(dest.begin(), dest.end(), 5.0f);
  x86_sse_copyf(dest.data(), src.data(), -4);
  x86_sse_add2f(dest.data(), src.data(), -4);
  EXPECT_EQ(dest[0], 5.0f);
}

}  // namespace
