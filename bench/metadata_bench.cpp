// Metadata on a store of 10,000 properties over 1,000 subjects, each operation against the raw
// Berkeley DB call (or full cursor scan) it is built on, on a second database that holds the
// same keys and records with the same cache. The difference is the module's own work (building
// the key, copying the strings out, the store lock) and, for changes, what makes them survive a
// killed process: a transaction whose log is written at each commit, and the checkpoints that
// keep recoveries short. A third database shows that price on its own: the same puts made
// durable the same way, without the module.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_store.h"
#include "ratio.h"
#include "store_format.h"
#include "tamb/metadata.h"

namespace {

constexpr int kSubjects = 1000;
constexpr int kKeysPerSubject = 10;
constexpr tamb_uuid_t kFirstSubject = 8589934593u;

std::string PropertyKey(int k) { return "http://tamb.audio/metadata/key-" + std::to_string(k); }

const std::string kValue = "a value of some length";
const std::string kType = "text/plain";
const std::string kRecord = kValue + '\0' + kType + '\0';

// The module's store in a fresh server directory and the raw databases beside it, all filled
// once per process.
class Stores {
 public:
  Stores() {
    char path[] = "/tmp/tamb-bench-metadata-XXXXXX";
    if (mkdtemp(path) == nullptr) abort();
    root_ = path;
    hooks::server_dir_set_root(root_);
    for (int k = 0; k < kKeysPerSubject; ++k) keys_.push_back(PropertyKey(k));
    raw_.emplace(root_ + "/raw", kit::RawStore::Fresh{false});
    durable_.emplace(root_ + "/durable", kit::RawStore::Fresh{true});
    if (raw_->status() != 0 || durable_->status() != 0) abort();
    for (int s = 0; s < kSubjects; ++s) {
      for (int k = 0; k < kKeysPerSubject; ++k) {
        if (tamb_set_property(nullptr, kFirstSubject + s, keys_[k].c_str(), kValue.c_str(),
                              kType.c_str()) != 0) {
          abort();
        }
        stored_keys_.push_back(kit::stored_key(std::to_string(kFirstSubject + s), keys_[k]));
        if (raw_->put(stored_keys_.back(), kRecord) != 0 ||
            durable_->put(stored_keys_.back(), kRecord) != 0) {
          abort();
        }
      }
    }
  }

  ~Stores() {
    raw_.reset();
    durable_.reset();
    std::filesystem::remove_all(root_);
  }

  kit::RawStore& raw_store() { return *raw_; }
  DB* raw() { return raw_->db(); }
  DB* durable() { return durable_->db(); }
  const std::string& key(int k) const { return keys_[k]; }
  // The stored key of property i of the whole store, subject-major.
  const std::string& stored_key(int i) const { return stored_keys_[i]; }

 private:
  std::string root_;
  std::vector<std::string> keys_;
  std::vector<std::string> stored_keys_;
  std::optional<kit::RawStore> raw_, durable_;
};

Stores& stores() {
  static Stores all;
  return all;
}

constexpr int kProperties = kSubjects * kKeysPerSubject;

// Property i of the store, visited with a stride so that neighbouring calls meet other pages.
int Spread(int64_t i) { return static_cast<int>((i * 7919) % kProperties); }

void BM_MetadataGetProperty(benchmark::State& state) {
  Stores& s = stores();
  int64_t i = 0;
  for (auto _ : state) {
    int p = Spread(i++);
    char *value = nullptr, *type = nullptr;
    if (tamb_get_property(kFirstSubject + p / kKeysPerSubject, s.key(p % kKeysPerSubject).c_str(),
                          &value, &type) != 0) {
      state.SkipWithError("property missing");
      break;
    }
    free(value);
    free(type);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MetadataGetProperty);

void BM_RawDbGet(benchmark::State& state) {
  Stores& s = stores();
  int64_t i = 0;
  for (auto _ : state) {
    DBT key = kit::dbt_of(s.stored_key(Spread(i++))), data;
    memset(&data, 0, sizeof data);
    data.flags = DB_DBT_MALLOC;
    if (s.raw()->get(s.raw(), nullptr, &key, &data, 0) != 0) {
      state.SkipWithError("record missing");
      break;
    }
    free(data.data);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawDbGet);

// Replaces existing properties, as a client updating a pretty name does.
void BM_MetadataSetProperty(benchmark::State& state) {
  Stores& s = stores();
  int64_t i = 0;
  for (auto _ : state) {
    int p = Spread(i++);
    if (tamb_set_property(nullptr, kFirstSubject + p / kKeysPerSubject,
                          s.key(p % kKeysPerSubject).c_str(), kValue.c_str(), kType.c_str()) != 0) {
      state.SkipWithError("set failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MetadataSetProperty);

// With a client, set also probes whether the key existed and tells the server.
void BM_MetadataSetPropertyWithNotice(benchmark::State& state) {
  Stores& s = stores();
  kit::Server server;
  tamb_client_t* client = &server.add_client("bench")->handle;
  int64_t i = 0;
  for (auto _ : state) {
    int p = Spread(i++);
    if (tamb_set_property(client, kFirstSubject + p / kKeysPerSubject,
                          s.key(p % kKeysPerSubject).c_str(), kValue.c_str(), kType.c_str()) != 0) {
      state.SkipWithError("set failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MetadataSetPropertyWithNotice);

void BM_RawDbPut(benchmark::State& state) {
  Stores& s = stores();
  DBT data = kit::dbt_of(kRecord);
  int64_t i = 0;
  for (auto _ : state) {
    DBT key = kit::dbt_of(s.stored_key(Spread(i++)));
    if (s.raw()->put(s.raw(), nullptr, &key, &data, 0) != 0) {
      state.SkipWithError("put failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawDbPut);

void BM_RawDbDurablePut(benchmark::State& state) {
  Stores& s = stores();
  DB* db = s.durable();
  DBT data = kit::dbt_of(kRecord);
  int64_t i = 0;
  for (auto _ : state) {
    DBT key = kit::dbt_of(s.stored_key(Spread(i++)));
    if (db->put(db, nullptr, &key, &data, 0) != 0) {
      state.SkipWithError("put failed");
      break;
    }
    if (i % tamb::store::checkpoint_check_commits == 0) {
      db->dbenv->txn_checkpoint(db->dbenv, tamb::store::checkpoint_kbytes, 0, 0);
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawDbDurablePut);

void BM_MetadataGetProperties(benchmark::State& state) {
  stores();
  int64_t i = 0;
  for (auto _ : state) {
    tamb_description_t desc;
    if (tamb_get_properties(kFirstSubject + (i++ % kSubjects), &desc) != kKeysPerSubject) {
      state.SkipWithError("subject incomplete");
      break;
    }
    tamb_free_description(&desc, 0);
  }
  state.counters["records"] = kProperties;
}
BENCHMARK(BM_MetadataGetProperties)->Unit(benchmark::kMillisecond);

void BM_MetadataGetAllProperties(benchmark::State& state) {
  stores();
  for (auto _ : state) {
    tamb_description_t* all = nullptr;
    int count = tamb_get_all_properties(&all);
    if (count != kSubjects) {
      state.SkipWithError("subjects missing");
      break;
    }
    for (int d = 0; d < count; ++d) tamb_free_description(&all[d], 0);
    free(all);
  }
  state.counters["records"] = kProperties;
}
BENCHMARK(BM_MetadataGetAllProperties)->Unit(benchmark::kMillisecond);

// Every record once through a cursor, each record fetched into memory of its own.
void BM_RawDbScan(benchmark::State& state) {
  kit::RawStore& raw = stores().raw_store();
  for (auto _ : state) {
    int records = raw.each([](const DBT&, const DBT&) {});
    if (records != kProperties) {
      state.SkipWithError("records missing");
      break;
    }
  }
  state.counters["records"] = kProperties;
}
BENCHMARK(BM_RawDbScan)->Unit(benchmark::kMillisecond);

TAMB_RATIO("metadata: get vs raw hash get", "BM_MetadataGetProperty", "BM_RawDbGet");
TAMB_RATIO("metadata: set vs raw hash put", "BM_MetadataSetProperty", "BM_RawDbPut");
TAMB_RATIO("metadata: set vs raw durable hash put", "BM_MetadataSetProperty", "BM_RawDbDurablePut");
TAMB_RATIO("metadata: raw durable hash put vs raw hash put", "BM_RawDbDurablePut", "BM_RawDbPut");
TAMB_RATIO("metadata: set with notice vs raw hash put", "BM_MetadataSetPropertyWithNotice",
           "BM_RawDbPut");
TAMB_RATIO("metadata: one subject vs full cursor scan", "BM_MetadataGetProperties", "BM_RawDbScan");
TAMB_RATIO("metadata: all subjects vs full cursor scan", "BM_MetadataGetAllProperties",
           "BM_RawDbScan");

}  // namespace
