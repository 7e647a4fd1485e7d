// SPDX-License-Identifier: MIT
// Metadata against the size of the store: 10 properties per subject, from 1,000 to 100,000
// properties. Each operation runs against the raw Berkeley DB call (or full cursor scan, a record
// or a buffer of records at a time) it is built on, on a second database that holds the same keys
// and records with the same cache. The difference is the module's own work (building the key,
// copying the strings out, the store lock) and, for changes, what makes them survive a killed
// process: a transaction whose log is written at each commit, and the checkpoints that keep
// recoveries short. A third database shows that price on its own: the same puts made durable the
// same way, without the module. The listing of all properties is timed without the caller's
// release of it, which is timed on its own.
//
// A process opens one store for good, and a hash database never shrinks its table (a store
// emptied down to 1,000 records still scans like 100,000), while the benchmarks of all sizes run
// interleaved. So each size has a worker process of its own, forked on first use, that fills its
// three databases once and then runs the loops it is asked for and reports their time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_store.h"
#include "ratio.h"
#include "store_format.h"
#include "tamb/metadata.h"

namespace {

constexpr int kKeysPerSubject = 10;
constexpr int kSizes[] = {1000, 10000, 100000};
constexpr tamb_uuid_t kFirstSubject = 8589934593u;

const std::string kValue = "a value of some length";
const std::string kType = "text/plain";
const std::string kRecord = kValue + '\0' + kType + '\0';

using Clock = std::chrono::steady_clock;

tamb_uuid_t Subject(int property) { return kFirstSubject + property / kKeysPerSubject; }

// Property i of n, visited with a stride so that neighbouring calls meet other pages.
int Spread(int64_t i, int n) { return static_cast<int>((i * 7919) % n); }

void Checkpoint(DB *db) {
  db->dbenv->txn_checkpoint(db->dbenv, tamb::store::checkpoint_kbytes, 0, 0);
}

enum class Op : int32_t {
  get,
  raw_get,
  set,
  set_with_notice,
  raw_put,
  raw_durable_put,
  get_properties,
  get_all,
  release_all,
  raw_scan,
  raw_bulk_scan,
};

struct Request {
  Op op;
  int64_t iterations;
};

struct Reply {
  double seconds;
  int32_t ok;
};

// In a worker: the module's store in the server directory under dir, and the raw databases
// beside it, all holding properties 0 .. size - 1.
class SizedStores {
 public:
  SizedStores(const std::string &dir, int size) : size_(size) {
    hooks::server_dir_set_root(dir);
    for (int k = 0; k < kKeysPerSubject; ++k) {
      keys_.push_back("http://tamb.audio/metadata/key-" + std::to_string(k));
    }
    raw_.emplace(dir + "/raw", kit::RawStore::Fresh{false});
    durable_.emplace(dir + "/durable", kit::RawStore::Fresh{true});
    if (raw_->status() != 0 || durable_->status() != 0) abort();
    for (int p = 0; p < size; ++p) {
      if (tamb_set_property(nullptr, Subject(p), key(p), kValue.c_str(), kType.c_str()) != 0) {
        abort();
      }
      stored_keys_.push_back(kit::stored_key(std::to_string(Subject(p)), key(p)));
      if (raw_->put(stored_keys_.back(), kRecord) != 0 ||
          durable_->put(stored_keys_.back(), kRecord) != 0) {
        abort();
      }
      if (p % tamb::store::checkpoint_check_commits == 0) Checkpoint(durable_->db());
    }
  }

  // Runs op iterations times: the seconds it took, or a negative number when a call failed.
  double run(Op op, int64_t iterations) {
    untimed_ = Clock::duration::zero();
    auto start = Clock::now();
    bool ok = true;
    for (int64_t i = 0; i < iterations && ok; ++i) ok = once(op, next_++);
    std::chrono::duration<double> took = Clock::now() - start - untimed_;
    // The server goes with the run that needed it: a server left registered here would hold
    // its name and registry entries against the benchmark process's own servers.
    client_ = nullptr;
    server_.reset();
    return ok ? took.count() : -1;
  }

 private:
  const char *key(int p) const { return keys_[p % kKeysPerSubject].c_str(); }

  bool once(Op op, int64_t i) {
    int p = Spread(i, size_);
    switch (op) {
      case Op::get: {
        char *value = nullptr, *type = nullptr;
        int ret = tamb_get_property(Subject(p), key(p), &value, &type);
        free(value);
        free(type);
        return ret == 0;
      }
      case Op::raw_get: {
        DB *db = raw_->db();
        DBT k = kit::dbt_of(stored_keys_[p]), data;
        memset(&data, 0, sizeof data);
        data.flags = DB_DBT_MALLOC;
        int ret = db->get(db, nullptr, &k, &data, 0);
        free(data.data);
        return ret == 0;
      }
      // Replaces existing properties, as a client updating a pretty name does; with a client,
      // set also probes whether the key existed and tells the server.
      case Op::set:
        return tamb_set_property(nullptr, Subject(p), key(p), kValue.c_str(), kType.c_str()) == 0;
      case Op::set_with_notice:
        if (!server_) server_.emplace();
        if (client_ == nullptr) client_ = &server_->add_client("bench")->handle;
        return tamb_set_property(client_, Subject(p), key(p), kValue.c_str(), kType.c_str()) == 0;
      case Op::raw_put:
      case Op::raw_durable_put: {
        DB *db = op == Op::raw_put ? raw_->db() : durable_->db();
        DBT k = kit::dbt_of(stored_keys_[p]), data = kit::dbt_of(kRecord);
        int ret = db->put(db, nullptr, &k, &data, 0);
        if (op == Op::raw_durable_put &&
            ++durable_puts_ % tamb::store::checkpoint_check_commits == 0) {
          Checkpoint(db);
        }
        return ret == 0;
      }
      case Op::get_properties: {
        tamb_description_t desc;
        int count = tamb_get_properties(Subject(p), &desc);
        tamb_free_description(&desc, 0);
        return count == kKeysPerSubject;
      }
      // The listing and the caller's release of it, each timed without the other.
      case Op::get_all:
      case Op::release_all: {
        auto start = Clock::now();
        tamb_description_t *all = nullptr;
        int count = tamb_get_all_properties(&all);
        auto listed = Clock::now();
        for (int d = 0; d < count; ++d) tamb_free_description(&all[d], 0);
        free(all);
        untimed_ += op == Op::get_all ? Clock::now() - listed : listed - start;
        return count == size_ / kKeysPerSubject;
      }
      // Every record once through a cursor, each record fetched into memory of its own.
      case Op::raw_scan:
        return raw_->each([](const DBT &, const DBT &) {}) == size_;
      // Every record once through a cursor, a buffer of records at a time.
      case Op::raw_bulk_scan:
        return BulkScan() == size_;
    }
    return false;
  }

  int BulkScan() {
    DB *db = raw_->db();
    DBC *cursor = nullptr;
    if (db->cursor(db, nullptr, &cursor, 0) != 0) return -1;
    DBT key, data;
    memset(&key, 0, sizeof key);
    memset(&data, 0, sizeof data);
    data.flags = DB_DBT_USERMEM;
    data.data = bulk_.data();
    data.ulen = static_cast<uint32_t>(bulk_.size());
    int records = 0;
    while (cursor->get(cursor, &key, &data, DB_NEXT | DB_MULTIPLE_KEY) == 0) {
      void *at;
      DB_MULTIPLE_INIT(at, &data);
      for (;;) {
        [[maybe_unused]] void *k, *d;
        [[maybe_unused]] uint32_t k_size, d_size;
        DB_MULTIPLE_KEY_NEXT(at, &data, k, k_size, d, d_size);
        if (at == nullptr) break;
        ++records;
      }
    }
    cursor->close(cursor);
    return records;
  }

  int size_;
  std::vector<char> bulk_ = std::vector<char>(64 << 10);
  std::vector<std::string> keys_;
  std::vector<std::string> stored_keys_;
  std::optional<kit::RawStore> raw_, durable_;
  std::optional<kit::Server> server_;
  tamb_client_t *client_ = nullptr;
  int64_t next_ = 0;
  Clock::duration untimed_{};  // of the run so far: what its loop does besides the measured
  int64_t durable_puts_ = 0;
};

bool WriteAll(int fd, const void *data, size_t size) {
  const auto *bytes = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void *data, size_t size) {
  auto *bytes = static_cast<char *>(data);
  while (size > 0) {
    ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A worker process per size, all under one temporary directory that goes with them.
class Workers {
 public:
  ~Workers() {
    for (auto &[size, worker] : workers_) {
      close(worker.to);
      close(worker.from);
      int status;
      while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  // Runs op iterations times in the worker of that size: the seconds, or negative on failure.
  double run(int size, Op op, int64_t iterations) {
    const Worker *worker = of(size);
    Request request{op, iterations};
    Reply reply{};
    if (worker == nullptr || !WriteAll(worker->to, &request, sizeof request) ||
        !ReadAll(worker->from, &reply, sizeof reply) || !reply.ok) {
      return -1;
    }
    return reply.seconds;
  }

 private:
  struct Worker {
    pid_t pid;
    int to, from;
  };

  const Worker *of(int size) {
    auto found = workers_.find(size);
    if (found != workers_.end()) return &found->second;
    // In memory where the system has a memory file system: stores of a hundred megabytes
    // written to disk keep the kernel writing them back for half a minute after, and that
    // writing slowed every benchmark run in the meantime by up to half.
    if (root_.empty()) {
      for (const char *parent : {"/dev/shm", "/tmp"}) {
        std::string path = std::string(parent) + "/tamb-bench-metadata-XXXXXX";
        if (mkdtemp(path.data()) != nullptr) {
          root_ = path;
          break;
        }
      }
      if (root_.empty()) return nullptr;
    }
    int requests[2], replies[2];
    if (pipe2(requests, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(replies, O_CLOEXEC) != 0) {
      close(requests[0]);
      close(requests[1]);
      return nullptr;
    }
    pid_t pid = fork();
    if (pid == 0) {
      // Another worker sees the end of its requests only when every copy of the pipe is gone.
      for (auto &[other, worker] : workers_) {
        close(worker.to);
        close(worker.from);
      }
      close(requests[1]);
      close(replies[0]);
      Serve(root_ + "/" + std::to_string(size), size, requests[0], replies[1]);
    }
    close(requests[0]);
    close(replies[1]);
    if (pid < 0) {
      close(requests[1]);
      close(replies[0]);
      return nullptr;
    }
    return &workers_.emplace(size, Worker{pid, requests[1], replies[0]}).first->second;
  }

  // The worker's life: answers requests until the benchmark process closes its end. It leaves
  // without the benchmark process's exit handlers, which are not its own.
  [[noreturn]] static void Serve(const std::string &dir, int size, int in, int out) {
    SizedStores stores(dir, size);
    Request request;
    while (ReadAll(in, &request, sizeof request)) {
      double seconds = stores.run(request.op, request.iterations);
      Reply reply{seconds, seconds >= 0};
      if (!WriteAll(out, &reply, sizeof reply)) break;
    }
    _exit(0);
  }

  std::string root_;
  std::map<int, Worker> workers_;
};

// The loop runs in the worker, which times it; each iteration here is given its share.
void Run(benchmark::State &state, Op op) {
  static Workers workers;
  int size = static_cast<int>(state.range(0));
  double seconds = workers.run(size, op, state.max_iterations);
  if (seconds < 0) {
    state.SkipWithError("the worker failed");
    return;
  }
  for (auto _ : state) state.SetIterationTime(seconds / static_cast<double>(state.max_iterations));
  state.counters["records"] = size;
}

int Register() {
  const std::pair<const char *, Op> calls[] = {
      {"BM_MetadataGet", Op::get},
      {"BM_RawDbGet", Op::raw_get},
      {"BM_MetadataSet", Op::set},
      {"BM_RawDbPut", Op::raw_put},
      {"BM_RawDbDurablePut", Op::raw_durable_put},
  };
  const std::pair<const char *, Op> scans[] = {
      {"BM_MetadataGetProperties", Op::get_properties},
      {"BM_MetadataGetAllProperties", Op::get_all},
      {"BM_RawDbScan", Op::raw_scan},
      {"BM_RawDbBulkScan", Op::raw_bulk_scan},
  };
  for (int size : kSizes) {
    for (auto [name, op] : calls) {
      benchmark::RegisterBenchmark(name, Run, op)->Arg(size)->UseManualTime();
    }
    for (auto [name, op] : scans) {
      benchmark::RegisterBenchmark(name, Run, op)
          ->Arg(size)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("BM_MetadataReleaseAll", Run, Op::release_all)
      ->Arg(100000)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MetadataSetWithNotice", Run, Op::set_with_notice)
      ->Arg(10000)
      ->UseManualTime();
  return 0;
}

[[maybe_unused]] const int registered = Register();

#define AT_10K(name) name "/10000/manual_time"

TAMB_RATIO_GOAL("metadata: get vs raw hash get", AT_10K("BM_MetadataGet"), AT_10K("BM_RawDbGet"),
                1.5);
TAMB_RATIO("metadata: set vs raw hash put", AT_10K("BM_MetadataSet"), AT_10K("BM_RawDbPut"));
TAMB_RATIO_GOAL("metadata: set vs raw durable hash put", AT_10K("BM_MetadataSet"),
                AT_10K("BM_RawDbDurablePut"), 1.2);
TAMB_RATIO("metadata: raw durable hash put vs raw hash put", AT_10K("BM_RawDbDurablePut"),
           AT_10K("BM_RawDbPut"));
TAMB_RATIO("metadata: set with notice vs raw hash put", AT_10K("BM_MetadataSetWithNotice"),
           AT_10K("BM_RawDbPut"));
TAMB_RATIO("metadata: one subject vs full cursor scan", AT_10K("BM_MetadataGetProperties"),
           AT_10K("BM_RawDbScan"));
TAMB_RATIO("metadata: all subjects vs full cursor scan", AT_10K("BM_MetadataGetAllProperties"),
           AT_10K("BM_RawDbScan"));
TAMB_RATIO_GOAL("metadata: all of 100k properties vs full cursor scan",
                "BM_MetadataGetAllProperties/100000/manual_time", "BM_RawDbScan/100000/manual_time",
                1.3);
TAMB_RATIO("metadata: all of 100k properties vs bulk cursor scan",
           "BM_MetadataGetAllProperties/100000/manual_time", "BM_RawDbBulkScan/100000/manual_time");
TAMB_RATIO("metadata: release of all 100k properties vs listing them",
           "BM_MetadataReleaseAll/100000/manual_time",
           "BM_MetadataGetAllProperties/100000/manual_time");

TAMB_SWEEP("metadata: get against records", "BM_MetadataGet", 0, "record");
TAMB_SWEEP("metadata: set against records", "BM_MetadataSet", 0, "record");
// A query by subject scans the whole store: the stored format has no index by subject.
TAMB_SWEEP("metadata: one subject against records", "BM_MetadataGetProperties", 1, "record");
TAMB_SWEEP("metadata: all subjects against records", "BM_MetadataGetAllProperties", 1, "record");
// Berkeley DB alone at the same sizes: what the store underneath costs.
TAMB_SWEEP_BASELINE("metadata: raw hash get against records", "BM_RawDbGet", 0, "record");
TAMB_SWEEP_BASELINE("metadata: raw durable hash put against records", "BM_RawDbDurablePut", 0,
                    "record");
TAMB_SWEEP_BASELINE("metadata: raw cursor scan against records", "BM_RawDbScan", 1, "record");
TAMB_SWEEP_BASELINE("metadata: raw bulk cursor scan against records", "BM_RawDbBulkScan", 1,
                    "record");

}  // namespace
