// SPDX-License-Identifier: MIT
// A session across processes: a server in the test process and forked client processes that
// attach its blocks by registry index, send requests over their channels and run their cycles
// when woken. Two producers write audio and MIDI, a consumer (a slow-sync client) checks every
// cycle's mix, one producer is timebase master; clients that die or hang mid-cycle are removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_remote.h"
#include "kit_session.h"
#include "kit_store.h"
#include "support.h"
#include "tamb/tamb.h"

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 256;
constexpr int kProducers = 2;
constexpr int kEvents = 3;  // per producer and cycle
constexpr uint32_t kFramesPerBeat = kit::session_frames_per_beat;
constexpr const char *kPrettyName = "producer A, 120 bpm";

using kit::session_sample;

// Non-decreasing in k for each producer; both producers use frame 0.
tamb_nframes_t EventTime(int producer, uint64_t cycle, int k) {
  if (k == 0) return 0;
  if (producer == 0) return k == 1 ? 100 + cycle % 50 : 255;
  return k == 1 ? 101 : 200 - cycle % 50;
}

// Event k == 1 is a 6-byte system exclusive message, stored out of line.
std::vector<uint8_t> EventData(int producer, uint64_t cycle, int k) {
  auto tag = static_cast<uint8_t>(cycle & 0x7f);
  if (k == 1) return {0xf0, 0x7d, static_cast<uint8_t>(producer), 1, tag, 0xf7};
  return {static_cast<uint8_t>(0x90 | producer), static_cast<uint8_t>(k), tag};
}

// What the processes tell the test; each field has one writer.
struct Shared {
  uint64_t produced[kProducers];  // the last cycle each producer wrote
  uint64_t consumer_cycles;
  uint64_t sums_checked;
  uint64_t sum_faults;
  uint64_t events_seen;
  uint64_t event_faults;
  uint64_t bbt_checked;
  uint64_t bbt_faults;
  uint64_t sync_calls;
  uint32_t notices;
  char seen_value[64];
  int16_t scratch_index;
  int32_t probe[4];  // results of the requests the probe client sends
  std::atomic<int32_t> master_set;
};

// When things happen, by cycle number (0: never).
struct Script : kit::TransportScript {
  Script() {
    start_at = 3;
    locate_frame = 10 * kRate;
  }
  uint64_t property_at = 5;
  uint64_t consumer_dies_at = 0;
  uint64_t master_hangs_at = 0;
};

int Producer(kit::RemoteClient &remote, int index, const Script &script, Shared *shared) {
  alarm(30);  // an orphan never outlives the test for long
  tamb_client_t *client = remote.handle();
  kit::SessionPorts ports = kit::session_ports(client, true);
  if (!ports.ok()) return 2;
  if (index == 0 && tamb_set_timebase_callback(client, 0, kit::session_timebase, nullptr) != 0) {
    return 3;
  }
  if (index == 0) shared->master_set = 1;

  auto process = [&](uint64_t cycle, tamb_nframes_t nframes) {
    if (index == 0 && cycle == script.master_hangs_at) pause();
    auto *out = static_cast<float *>(tamb_port_get_buffer(ports.audio, nframes));
    for (uint32_t i = 0; i < nframes; ++i) out[i] = session_sample(index, cycle, i);
    void *events = tamb_port_get_buffer(ports.midi, nframes);
    tamb_midi_clear_buffer(events);
    for (int k = 0; k < kEvents; ++k) {
      std::vector<uint8_t> data = EventData(index, cycle, k);
      tamb_midi_event_write(events, EventTime(index, cycle, k), data.data(), data.size());
    }
    // The transport commands come from the second producer, as from a control surface.
    if (index == 1) kit::session_transport(client, script, cycle);
    shared->produced[index] = cycle;
  };
  auto idle = [&](uint64_t cycle, tamb_nframes_t) {
    if (index == 0 && cycle == script.property_at) {
      tamb_set_property(client, client->control->uuid, TAMB_METADATA_PRETTY_NAME, kPrettyName,
                        nullptr);
    }
  };
  return remote.serve(process, idle) ? 0 : 4;
}

struct Consumer {
  Shared *shared;
  int ready_after = 3;  // sync calls before it reports ready, each time it is polled
  int waited = 0;
};

int ConsumerSync(tamb_transport_state_t, tamb_position_t *, void *arg) {
  auto *consumer = static_cast<Consumer *>(arg);
  ++consumer->shared->sync_calls;
  if (++consumer->waited < consumer->ready_after) return 0;
  consumer->waited = 0;
  return 1;
}

void ConsumerNotice(tamb_uuid_t subject, const char *key, tamb_property_change_t, void *arg) {
  auto *shared = static_cast<Shared *>(arg);
  ++shared->notices;
  kit::session_read_property(subject, key, shared->seen_value, sizeof shared->seen_value);
}

// Checks the cycle's mix against what the producers that ran in it wrote.
void ConsumerCheck(Shared *shared, uint64_t cycle, const float *audio, void *midi,
                   tamb_nframes_t nframes) {
  bool ran[kProducers];
  for (int p = 0; p < kProducers; ++p) ran[p] = shared->produced[p] == cycle;
  bool sums = audio != nullptr;
  for (uint32_t i = 0; sums && i < nframes; ++i) {
    float expected = 0;
    for (int p = 0; p < kProducers; ++p) expected += ran[p] ? session_sample(p, cycle, i) : 0.0f;
    sums = audio[i] == expected;
  }
  ++shared->sums_checked;
  shared->sum_faults += !sums;

  int seen[kProducers][kEvents] = {};
  uint32_t count = tamb_midi_get_event_count(midi);
  tamb_nframes_t last = 0;
  bool events = tamb_midi_get_lost_event_count(midi) == 0;
  for (uint32_t e = 0; e < count; ++e) {
    tamb_midi_event_t event;
    if (tamb_midi_event_get(&event, midi, e) != 0 || event.time < last) {
      events = false;
      continue;
    }
    last = event.time;
    std::vector<uint8_t> data(event.buffer, event.buffer + event.size);
    bool known = false;
    for (int p = 0; p < kProducers && !known; ++p) {
      for (int k = 0; k < kEvents && !known; ++k) {
        if (ran[p] && data == EventData(p, cycle, k) && event.time == EventTime(p, cycle, k)) {
          known = true;
          ++seen[p][k];
        }
      }
    }
    events = events && known;
  }
  for (int p = 0; p < kProducers; ++p) {
    for (int k = 0; k < kEvents; ++k) events = events && seen[p][k] == (ran[p] ? 1 : 0);
  }
  shared->events_seen += count;
  shared->event_faults += !events;
}

int ConsumerMain(kit::RemoteClient &remote, const Script &script, Shared *shared) {
  alarm(30);
  tamb_client_t *client = remote.handle();
  kit::SessionPorts ports = kit::session_ports(client, false);
  if (!ports.ok()) return 2;
  Consumer consumer{shared};
  if (tamb_set_sync_callback(client, ConsumerSync, &consumer) != 0) return 3;
  if (tamb_set_sync_timeout(client, 500000) != 0) return 3;
  if (tamb_set_property_change_callback(client, ConsumerNotice, shared) != 0) return 3;
  // Memory of the client's own in the registry, which the server must free when it dies.
  tamb_shm_info_t scratch{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  if (tamb_shmalloc(4096, &scratch) != 0) return 3;
  shared->scratch_index = scratch.index;

  auto process = [&](uint64_t cycle, tamb_nframes_t nframes) {
    if (cycle == script.consumer_dies_at) raise(SIGKILL);
    ConsumerCheck(shared, cycle,
                  static_cast<const float *>(tamb_port_get_buffer(ports.audio, nframes)),
                  tamb_port_get_buffer(ports.midi, nframes), nframes);
    tamb_position_t position;
    tamb_transport_query(client, &position);
    if (position.valid & TAMB_POSITION_BBT) {
      uint32_t beats = position.frame / kFramesPerBeat;
      ++shared->bbt_checked;
      shared->bbt_faults += position.bar != static_cast<int32_t>(beats / 4 + 1) ||
                            position.beat != static_cast<int32_t>(beats % 4 + 1);
    }
    ++shared->consumer_cycles;
  };
  bool served = remote.serve(process);
  tamb_destroy_shm(&scratch);
  return served ? 0 : 4;
}

struct Observed {
  tamb_transport_state_t state;
  tamb_nframes_t frame;
};

class SessionTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    alarm(60);
    dir_.emplace("/tmp/tamb-session-");
    ASSERT_FALSE(dir_->path().empty());
    hooks::log_set_echo(false);
    record_.emplace();
    shared_ = record_->get();
    ASSERT_NE(shared_, nullptr);
    server_ = std::make_unique<kit::Server>(64, kFrames);
    server_->set_sample_rate(kRate);
    kit::metadata_relay_to(server_.get());
  }

  void TearDown() override {
    remote_.reset();
    kit::metadata_relay_to(nullptr);
    server_.reset();
    record_.reset();
    dir_.reset();
    hooks::log_set_echo(true);
    alarm(0);
  }

  // Spawns the producers and the consumer, connects and activates them; broken, when given,
  // is the body of a client spawned before them.
  void Start(const Script &script, const kit::RemoteHost::Body &broken = {}) {
    script_ = script;
    remote_ = std::make_unique<kit::RemoteHost>(*server_);
    Shared *shared = shared_;
    const Script *s = &script_;
    if (broken) remote_->spawn("broken", broken);
    for (int p = 0; p < kProducers; ++p) {
      std::string name = p == 0 ? "src_a" : "src_b";
      remote_->spawn(name.c_str(),
                     [=](kit::RemoteClient &remote) { return Producer(remote, p, *s, shared); });
    }
    consumer_ = remote_->spawn(
        "sink", [=](kit::RemoteClient &remote) { return ConsumerMain(remote, *s, shared); });
    ASSERT_EQ(remote_->wait_ready(), 3);
    for (int m = 0; m <= consumer_; ++m) {
      if (remote_->alive(m)) server_->activate(remote_->client(m));
    }
    ASSERT_EQ(kit::session_connect(*remote_, {"src_a", "src_b"}, "sink"), 4);
  }

  // Runs cycles up to and including last; the transport after each.
  void Run(uint64_t last) {
    while (remote_->cycles() < last) {
      removed_ += remote_->run(static_cast<tamb_time_t>(remote_->cycles() * 5333));
      observed_.push_back({static_cast<tamb_transport_state_t>(server_->control()->transport_state),
                           server_->control()->current_position.frame});
    }
  }

  std::optional<kit::ServerDir> dir_;
  std::optional<kit::SharedRecord<Shared>> record_;
  Shared *shared_ = nullptr;
  std::unique_ptr<kit::Server> server_;
  std::unique_ptr<kit::RemoteHost> remote_;
  Script script_;
  int consumer_ = -1;
  int removed_ = 0;
  std::vector<Observed> observed_;
};

// The registry entries of the test's private namespace.
std::vector<tamb_shm_registry_t> RegistryEntries() {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  if (id < 0) return {};
  void *address = shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void *>(-1)) return {};
  auto *first = reinterpret_cast<tamb_shm_registry_t *>(static_cast<char *>(address) +
                                                        TAMB_REGISTRY_HEADER_SIZE);
  std::vector<tamb_shm_registry_t> entries(first, first + TAMB_REGISTRY_MAX_SEGMENTS);
  shmdt(address);
  return entries;
}

TEST_F(SessionTest, MixesMetadataAndTransportReachEveryProcess) {
  Script script;
  script.locate_at = 30;
  script.stop_at = 50;
  script.restart_at = 60;
  ASSERT_NO_FATAL_FAILURE(Start(script));
  Run(80);
  uint64_t notices = remote_->notices();
  remote_->finish();
  ASSERT_EQ(remote_->removals().size(), 3u);
  for (const kit::RemoteHost::Removal &end : remote_->removals()) {
    EXPECT_EQ(end.reason, "finished") << end.name;
    EXPECT_EQ(end.status, 0) << end.name;
  }

  EXPECT_EQ(removed_, 0);
  EXPECT_EQ(server_->connections().size(), 0u);
  EXPECT_EQ(shared_->consumer_cycles, 80u);
  EXPECT_EQ(shared_->sums_checked, 80u);
  EXPECT_EQ(shared_->sum_faults, 0u);
  EXPECT_EQ(shared_->events_seen, 80u * kProducers * kEvents);
  EXPECT_EQ(shared_->event_faults, 0u);
  EXPECT_GT(shared_->bbt_checked, 0u);
  EXPECT_EQ(shared_->bbt_faults, 0u);
  EXPECT_GT(shared_->sync_calls, 0u);
  EXPECT_EQ(notices, 3u);  // every client hears of it, the sender too
  EXPECT_EQ(shared_->notices, 1u);
  EXPECT_STREQ(shared_->seen_value, kPrettyName);

  // The frame moves one cycle per rolling cycle, never while stopped or starting, and jumps
  // once, to the located frame.
  std::vector<tamb_transport_state_t> visited;
  int jumps = 0;
  for (size_t i = 0; i < observed_.size(); ++i) {
    if (visited.empty() || visited.back() != observed_[i].state) {
      visited.push_back(observed_[i].state);
    }
    if (i == 0) continue;
    const Observed &before = observed_[i - 1];
    tamb_nframes_t step = observed_[i].frame - before.frame;
    if (observed_[i].frame == script.locate_frame && step != 0 && step != kFrames) {
      ++jumps;
      continue;
    }
    bool moving = before.state == TAMB_TRANSPORT_ROLLING;
    EXPECT_EQ(step, moving ? kFrames : 0) << "cycle " << i + 1 << " state " << before.state;
  }
  EXPECT_EQ(jumps, 1);
  const std::vector<tamb_transport_state_t> expected = {
      TAMB_TRANSPORT_STOPPED,  TAMB_TRANSPORT_STARTING, TAMB_TRANSPORT_ROLLING,
      TAMB_TRANSPORT_STARTING, TAMB_TRANSPORT_ROLLING,  TAMB_TRANSPORT_STOPPED,
      TAMB_TRANSPORT_STARTING, TAMB_TRANSPORT_ROLLING};
  EXPECT_EQ(visited, expected);
}

// The removal of a client that failed at start rereads the others' connections while they may
// still be starting; their ready answers must not be lost to it.
TEST_F(SessionTest, ClientFailingAtStartLeavesTheOthersReady) {
  ASSERT_NO_FATAL_FAILURE(Start(Script{}, [](kit::RemoteClient &) { return 2; }));
  ASSERT_EQ(remote_->removals().size(), 1u);
  EXPECT_EQ(remote_->removals()[0].name, "broken");
  EXPECT_EQ(remote_->removals()[0].status, 2);
  Run(10);
  EXPECT_EQ(removed_, 0);
  EXPECT_EQ(shared_->sums_checked, 10u);
  EXPECT_EQ(shared_->sum_faults, 0u);
}

TEST_F(SessionTest, SlowSyncClientKilledMidCycleIsRemovedAndTheRestRoll) {
  Script script;
  script.locate_at = 10;
  script.consumer_dies_at = 12;  // while the transport waits for it to be ready
  ASSERT_NO_FATAL_FAILURE(Start(script));
  Run(11);
  ASSERT_EQ(server_->control()->transport_state, TAMB_TRANSPORT_STARTING);
  ASSERT_EQ(server_->control()->sync_clients, 1);
  pid_t dead = remote_->pid(consumer_);
  int16_t control_index = remote_->client(consumer_)->control_segment.index;

  auto before = std::chrono::steady_clock::now();
  Run(12);
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::milliseconds(500));  // the sync timeout the consumer set
  ASSERT_EQ(remote_->removals().size(), 1u);
  EXPECT_EQ(remote_->removals()[0].name, "sink");
  EXPECT_EQ(remote_->removals()[0].reason, "channel closed");
  EXPECT_EQ(remote_->removals()[0].status, 128 + SIGKILL);
  EXPECT_FALSE(remote_->alive(consumer_));
  EXPECT_EQ(server_->control()->sync_clients, 0);
  EXPECT_EQ(server_->control()->sync_remain, 0);
  EXPECT_EQ(server_->control()->transport_state, TAMB_TRANSPORT_ROLLING);

  std::vector<tamb_shm_registry_t> entries = RegistryEntries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[control_index].size, 0) << "the client control block is freed";
  ASSERT_GE(shared_->scratch_index, 0);
  for (const tamb_shm_registry_t &entry : entries) EXPECT_NE(entry.owner_pid, dead);

  Run(20);
  EXPECT_EQ(shared_->produced[0], 20u);
  EXPECT_EQ(shared_->produced[1], 20u);
  EXPECT_EQ(remote_->removals().size(), 1u);
  EXPECT_EQ(server_->connections().size(), 0u);
}

TEST_F(SessionTest, HungTimebaseMasterIsRemovedAfterTheSyncTimeout) {
  Script script;
  script.master_hangs_at = 15;
  ASSERT_NO_FATAL_FAILURE(Start(script));
  Run(14);
  ASSERT_NE(server_->engine()->timebase_client, nullptr);
  ASSERT_EQ(shared_->bbt_faults, 0u);

  auto before = std::chrono::steady_clock::now();
  Run(15);
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_GE(took, std::chrono::milliseconds(450));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
  ASSERT_EQ(remote_->removals().size(), 1u);
  EXPECT_EQ(remote_->removals()[0].name, "src_a");
  EXPECT_EQ(remote_->removals()[0].reason, "no answer within the sync timeout");
  EXPECT_EQ(server_->engine()->timebase_client, nullptr);

  // The consumer now hears the second producer alone, in the very cycle of the removal too.
  Run(25);
  EXPECT_EQ(shared_->consumer_cycles, 25u);
  EXPECT_EQ(shared_->sum_faults, 0u);
  EXPECT_EQ(shared_->event_faults, 0u);
  EXPECT_EQ(shared_->produced[1], 25u);
}

// A client that asks for what it may not have, and then sends a record no client would.
int Probe(kit::RemoteClient &remote, Shared *shared) {
  alarm(30);
  tamb_client_t *client = remote.handle();
  while (shared->master_set == 0) usleep(1000);
  shared->probe[0] = tamb_set_timebase_callback(client, 1, kit::session_timebase, nullptr);
  tamb_request_t request{};
  request.type = 60;  // no such request
  request.status = -1;
  tamb_client_deliver_request(client, &request);
  shared->probe[1] = request.status;

  // A key that claims a terabyte: the server must not try to read or allocate it.
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PROPERTY_CHANGE_NOTIFY;
  request.body.property.key = "x";
  request.body.property.key_size = uint64_t{1} << 40;
  if (write(client->request_fd, &request, sizeof request) != sizeof request) return 2;
  shared->probe[2] = read(client->request_fd, &request, sizeof request) == 0;  // closed
  shared->probe[3] = tamb_set_sync_timeout(client, 100000);
  return remote.serve({}) ? 0 : 4;
}

TEST_F(SessionTest, RequestsAreAnsweredOverTheChannelAndABrokenRecordClosesIt) {
  remote_ = std::make_unique<kit::RemoteHost>(*server_);
  Shared *shared = shared_;
  const Script *s = &script_;
  remote_->spawn("src_a",
                 [=](kit::RemoteClient &remote) { return Producer(remote, 0, *s, shared); });
  remote_->spawn("probe", [=](kit::RemoteClient &remote) { return Probe(remote, shared); });
  ASSERT_EQ(remote_->wait_ready(), 2);
  EXPECT_EQ(shared_->probe[0], EBUSY);
  EXPECT_EQ(shared_->probe[1], ENOSYS);
  EXPECT_EQ(shared_->probe[2], 1);
  EXPECT_EQ(shared_->probe[3], EPIPE);
  EXPECT_EQ(server_->control()->sync_timeout, 2000000u) << "the refused channel changed nothing";

  // The wake-up channel still serves: the server keeps both clients and runs its cycles.
  for (int m = 0; m < 2; ++m) server_->activate(remote_->client(m));
  Run(5);
  EXPECT_EQ(removed_, 0);
  EXPECT_EQ(shared_->produced[0], 5u);
}

}  // namespace

// A server whose predecessor under the same name died, while another process died holding the
// registry lock: the semaphore's undo gives the lock back and the dead server's slot is taken
// over, so the session starts and runs as usual.
class SessionAfterDeathsTest : public SessionTest {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    int dead_server = support::run_in_child([] {
      if (tamb_register_server("default", 0) != 0) return 1;
      raise(SIGKILL);
      return 2;
    });
    ASSERT_EQ(dead_server, 128 + SIGKILL);
    int dead_holder = support::run_in_child([] {
      int semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
      sembuf take = {0, -1, SEM_UNDO};
      if (semid < 0 || semop(semid, &take, 1) != 0) return 1;
      raise(SIGKILL);  // dies holding the lock
      return 2;
    });
    ASSERT_EQ(dead_holder, 128 + SIGKILL);
    SessionTest::SetUp();
  }
};

TEST_F(SessionAfterDeathsTest, StartsOnTheDeadServersSlotAndRuns) {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  ASSERT_GE(id, 0);
  auto *header = static_cast<tamb_shm_header_t *>(shmat(id, nullptr, SHM_RDONLY));
  ASSERT_NE(header, reinterpret_cast<void *>(-1));
  int held = 0;
  for (const tamb_shm_server_t &slot : header->servers) {
    if (slot.pid == 0) continue;
    EXPECT_EQ(slot.pid, getpid()) << "only this server holds a slot";
    ++held;
  }
  shmdt(header);
  EXPECT_EQ(held, 1);

  Script script;
  ASSERT_NO_FATAL_FAILURE(Start(script));
  Run(10);
  EXPECT_EQ(shared_->produced[0], 10u);
  EXPECT_EQ(shared_->produced[1], 10u);
  EXPECT_TRUE(remote_->removals().empty());
}

// Properties a client wrote are still there after it was killed, and the store opens and takes
// writes again in another process.
TEST_F(SessionTest, MetadataOfAKilledClientSurvives) {
  const tamb_uuid_t subject = tamb_client_uuid_generate();
  int writer = support::run_in_child([subject] {
    for (int i = 0; i < 50; ++i) {
      std::string key = "key" + std::to_string(i);
      if (tamb_set_property(nullptr, subject, key.c_str(), "value", "text/plain") != 0) return 1;
    }
    raise(SIGKILL);
    return 2;
  });
  ASSERT_EQ(writer, 128 + SIGKILL);
  int reader = support::run_in_child([subject] {
    tamb_description_t description{};
    if (tamb_get_properties(subject, &description) != 50) return 1;
    tamb_free_description(&description, 0);
    char *value = nullptr;
    char *type = nullptr;
    if (tamb_get_property(subject, "key49", &value, &type) != 0) return 2;
    bool intact = strcmp(value, "value") == 0 && strcmp(type, "text/plain") == 0;
    free(value);
    free(type);
    if (!intact) return 3;
    return tamb_set_property(nullptr, subject, "after", "yes", nullptr) == 0 ? 0 : 4;
  });
  EXPECT_EQ(reader, 0);
}
