// SPDX-License-Identifier: MIT
// A store whose files were damaged while no process used it: its log deleted, cut or
// overwritten, its region files deleted or overwritten, the database file's first page flipped,
// the file zeroed, cut in half, or no database at all. The next process heals it: it neither
// crashes nor hangs, keeps every property that an intact file holds, saves what the verifier can
// read from a damaged one, says once what it did, and deletes nothing that held data. A process
// killed while it heals leaves the next one to finish the work with nothing lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kit_store.h"
#include "metadata_children.h"
#include "store_format.h"
#include "support.h"
#include "tamb/metadata.h"

// Berkeley DB keeps the heap of an environment that it declared failed when its handles are
// closed; healing declares the damaged one failed.
extern "C" const char *__lsan_default_suppressions() { return "leak:libdb-5.3.so\n"; }

namespace {

namespace fs = std::filesystem;
using metadata_children::CountInChild;
using metadata_children::InChild;
using metadata_children::kHung;
using support::TempDir;

constexpr int kProperties = 180;
constexpr tamb_uuid_t kFirstClient = 8589934593u;

struct Property {
  tamb_uuid_t subject;
  std::string key, value;
};

// Every 30th value is larger than a page, so that the file also holds pages of overflow.
Property Written(int i) {
  size_t size = i % 30 == 0 ? 6000 : 200;
  return {kFirstClient + static_cast<tamb_uuid_t>(i / 10), "key" + std::to_string(i),
          std::string(size, static_cast<char>('a' + i % 26))};
}

std::string StoreDir(const TempDir &root) { return root.path() + "/default"; }

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The same bytes for a size all through a run; another run draws others.
std::string Noise(size_t size) {
  static const uint64_t seed = support::test_seed();
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (char &c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The files of dir whose names start with prefix.
std::vector<fs::path> Named(const std::string &dir, const std::string &prefix) {
  std::vector<fs::path> found;
  for (const auto &entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  return found;
}

// Each damage has a store of its own, filled anew: a copy would not do, since the log names the
// file by its full path, and a recovery of the copy would write into the original.
//
// Sets every property in a process of its own, which ends through exit(), then takes a
// checkpoint, as the store does once enough changes gathered: the file alone holds every
// property, and passes the verifier.
void Populate(const TempDir &root) {
  ASSERT_EQ(InChild([&] {
              hooks::log_set_echo(false);
              hooks::server_dir_set_root(root.path());
              for (int i = 0; i < kProperties; ++i) {
                Property p = Written(i);
                ASSERT_EQ(
                    tamb_set_property(nullptr, p.subject, p.key.c_str(), p.value.c_str(), nullptr),
                    0);
              }
              exit(metadata_children::FailedParts() > 0 ? 1 : 0);
            }),
            0);
  ASSERT_EQ(kit::RawStore::checkpoint(StoreDir(root)), 0);
  ASSERT_EQ(kit::RawStore::verify(StoreDir(root)), 0);
}

// How many of the properties are there and whole.
int Readable() {
  int readable = 0;
  for (int i = 0; i < kProperties; ++i) {
    Property p = Written(i);
    char *value = nullptr, *type = nullptr;
    if (tamb_get_property(p.subject, p.key.c_str(), &value, &type) == 0) {
      readable += value == p.value && type == nullptr;
      free(value);
      free(type);
    }
  }
  return readable;
}

// What a damage left that held data: file name (in the server directory) to its bytes. Healing
// may move these but must keep them.
using Kept = std::map<std::string, std::string>;

enum class Healing { routine, environment, file };

struct Damage {
  const char *name;
  Healing healing;
  int saved;  // properties a file's healing saves; -1: some, but not all
  std::function<Kept(const std::string &dir)> apply;
};

Kept ForEach(const std::string &dir, const std::string &prefix,
             const std::function<std::string(const fs::path &)> &replace) {
  Kept kept;
  for (const fs::path &path : Named(dir, prefix)) {
    std::string bytes = replace(path);
    if (bytes.empty()) {
      fs::remove(path);
      continue;
    }
    WriteFile(path, bytes);
    if (prefix == "log.") kept[path.filename()] = bytes;
  }
  return kept;
}

Kept ReplaceFile(const std::string &dir, const std::function<std::string(std::string)> &edit) {
  fs::path path = fs::path(dir) / tamb::store::db_file;
  std::string bytes = edit(ReadFile(path));
  WriteFile(path, bytes);
  return {{tamb::store::db_file, bytes}};
}

const std::vector<Damage> &Damages() {
  auto gone = [](const fs::path &) { return std::string(); };
  auto noise = [](const fs::path &path) { return Noise(fs::file_size(path)); };
  static const std::vector<Damage> damages = {
      {"logs deleted", Healing::environment, kProperties,
       [=](const std::string &dir) { return ForEach(dir, "log.", gone); }},
      {"logs cut to a third of their records", Healing::environment, kProperties,
       [](const std::string &dir) {
         return ForEach(dir, "log.", [](const fs::path &path) {
           std::string bytes = ReadFile(path);
           return bytes.substr(0, (bytes.find_last_not_of('\0') + 1) / 3);
         });
       }},
      {"logs overwritten", Healing::environment, kProperties,
       [=](const std::string &dir) { return ForEach(dir, "log.", noise); }},
      {"file deleted and logs overwritten", Healing::environment, 0,
       [=](const std::string &dir) {
         fs::remove(fs::path(dir) / tamb::store::db_file);
         return ForEach(dir, "log.", noise);
       }},
      {"region files deleted", Healing::routine, kProperties,
       [=](const std::string &dir) { return ForEach(dir, "__db.", gone); }},
      {"region files overwritten", Healing::routine, kProperties,
       [=](const std::string &dir) { return ForEach(dir, "__db.", noise); }},
      {"first page's magic number flipped", Healing::file, kProperties,
       [](const std::string &dir) {
         return ReplaceFile(dir, [](std::string bytes) {
           for (size_t i = 12; i < 16; ++i) bytes[i] = static_cast<char>(~bytes[i]);
           return bytes;
         });
       }},
      {"first page flipped whole", Healing::file, 0,
       [](const std::string &dir) {
         return ReplaceFile(dir, [](std::string bytes) {
           for (size_t i = 0; i < 4096; ++i) bytes[i] = static_cast<char>(~bytes[i]);
           return bytes;
         });
       }},
      {"file zeroed", Healing::file, 0,
       [](const std::string &dir) {
         return ReplaceFile(dir, [](std::string bytes) { return std::string(bytes.size(), 0); });
       }},
      // At a page's end: Berkeley DB refuses a file of part of a page, but reads pages that
      // are missing as empty ones.
      {"file cut in half", Healing::file, -1,
       [](const std::string &dir) {
         return ReplaceFile(dir, [](std::string bytes) {
           return bytes.substr(0, bytes.size() / 4096 / 2 * 4096);
         });
       }},
      {"no database at all", Healing::file, 0,
       [](const std::string &dir) {
         return ReplaceFile(dir, [](std::string) { return std::string("not a database"); });
       }},
  };
  return damages;
}

// Where a damaged file went: a database file beside the new one, a log in a folder.
bool StillOnDisk(const std::string &dir, const std::string &name, const std::string &bytes) {
  if (name == tamb::store::db_file) {
    for (const fs::path &path : Named(dir, tamb::store::db_damaged_prefix)) {
      if (ReadFile(path) == bytes) return true;
    }
    return false;
  }
  for (const fs::path &folder : Named(dir, tamb::store::env_damaged_prefix)) {
    if (fs::exists(folder / name) && ReadFile(folder / name) == bytes) return true;
  }
  return false;
}

// The healing's report, the one error a healing process logs; empty when there is none.
std::string HealingReport() {
  std::vector<hooks::Message> messages = hooks::log_messages();
  EXPECT_LE(messages.size(), 1u);
  return messages.empty() ? "" : messages.back().text;
}

// The properties a file's healing says it saved, or -1 when the report says no such thing.
int SavedIn(const std::string &report) {
  size_t at = report.find(" saved ");
  int saved = -1;
  if (at == std::string::npos || sscanf(report.c_str() + at, " saved %d properties", &saved) != 1)
    return -1;
  return saved;
}

// The process after the damage: opens the store, which heals it, reads it, says what it did in
// one report, and works on.
int Heal(const TempDir &root, const Damage &damage, int *status) {
  return CountInChild(
      root.path(),
      [&] {
        const std::string dir = StoreDir(root);
        int got = Readable();
        std::string report = HealingReport();
        switch (damage.healing) {
          case Healing::routine:
            EXPECT_EQ(report, "") << "a recovery rebuilds regions as it always does";
            break;
          case Healing::environment:
            EXPECT_EQ(report.rfind("Metadata DB environment in " + dir + " could not be used (", 0),
                      0u)
                << report;
            break;
          case Healing::file:
            EXPECT_EQ(report.rfind("Metadata DB at " + dir + "/metadata.db was damaged (", 0), 0u)
                << report;
            EXPECT_EQ(SavedIn(report), got) << report;
            break;
        }
        EXPECT_EQ(tamb_set_property(nullptr, 1, "after", "the damage", nullptr), 0);
        char *value = nullptr;
        EXPECT_EQ(tamb_get_property(1, "after", &value, nullptr), 0);
        EXPECT_STREQ(value, "the damage");
        free(value);
        return got;
      },
      status);
}

TEST(MetadataDamage, TheNextProcessHealsEveryDamageAndKeepsWhatHeldData) {
  int crashes = 0, hangs = 0, lost_intact = 0, unkept = 0;
  for (const Damage &damage : Damages()) {
    SCOPED_TRACE(damage.name);
    TempDir root;
    Populate(root);
    const std::string dir = StoreDir(root);
    Kept kept = damage.apply(dir);

    int status = 0;
    int readable = Heal(root, damage, &status);
    crashes += status > 128 && status != kHung;
    hangs += status == kHung;
    EXPECT_EQ(status, 0) << (status == kHung ? "it hung" : "it failed or crashed");
    if (damage.saved >= 0) {
      EXPECT_EQ(readable, damage.saved);
    } else {
      EXPECT_GT(readable, 0);
      EXPECT_LT(readable, kProperties);
    }
    if (damage.healing != Healing::file && damage.saved == kProperties) {
      lost_intact += kProperties - readable;
    }

    for (const auto &[name, bytes] : kept) {
      bool on_disk = StillOnDisk(dir, name, bytes);
      unkept += !on_disk;
      EXPECT_TRUE(on_disk) << name << " is gone";
    }
    // Healed for good: the next process reads the same without a word, and the file is sound.
    EXPECT_EQ(CountInChild(root.path(),
                           [] {
                             int again = Readable();
                             EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
                             return again;
                           }),
              readable);
    EXPECT_EQ(kit::RawStore::verify(dir), 0);
  }
  printf(
      "%zu damages: crashes %d, hangs %d, properties of an intact file lost %d, damaged files "
      "gone %d\n",
      Damages().size(), crashes, hangs, lost_intact, unkept);
}

// ---- Killed while it heals ------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Opens the store under root and reads it all, in a process that is killed after delay (or
// never, with a negative one): the time it took, or -1 when it was killed first.
double HealKilledAfter(const TempDir &root, std::chrono::microseconds delay) {
  fflush(stdout);
  fflush(stderr);
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    alarm(metadata_children::kChildSeconds);
    hooks::log_set_echo(false);
    hooks::server_dir_set_root(root.path());
    Readable();
    _exit(0);
  }
  if (delay.count() >= 0) {
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
  }
  int status = support::wait_for(pid);
  double took = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << "status " << status;
  return status == 0 ? took : -1;
}

// A healing cut short at a random moment, many times over, for a damaged log, a damaged first
// page and a file cut in half: the next process finishes it, and finds what a healing that ran
// through finds, with the damaged files still on disk.
TEST(MetadataDamage, AHealingKilledAtAnyMomentLosesNothing) {
  constexpr int kKillsPerDamage = 12;
  std::mt19937_64 random(support::test_seed());
  int kills = 0, cut_short = 0;
  for (const char *name :
       {"logs overwritten", "first page's magic number flipped", "file cut in half"}) {
    SCOPED_TRACE(name);
    const Damage *damage = nullptr;
    for (const Damage &d : Damages()) {
      if (std::string(d.name) == name) damage = &d;
    }
    ASSERT_NE(damage, nullptr);
    // A healing that runs through: how long it takes, and what it finds.
    TempDir reference;
    Populate(reference);
    damage->apply(StoreDir(reference));
    double took = HealKilledAfter(reference, std::chrono::microseconds(-1));
    int expected = CountInChild(reference.path(), Readable);
    ASSERT_GT(expected, 0);

    for (int k = 0; k < kKillsPerDamage; ++k) {
      TempDir root;
      Populate(root);
      Kept kept = damage->apply(StoreDir(root));
      auto delay = std::chrono::microseconds(
          std::uniform_int_distribution<int64_t>(0, static_cast<int64_t>(took * 1.5e6))(random));
      cut_short += HealKilledAfter(root, delay) < 0;
      ++kills;
      EXPECT_EQ(CountInChild(root.path(), Readable), expected)
          << "killed after " << delay.count() << " us";
      for (const auto &[file, bytes] : kept) {
        EXPECT_TRUE(StillOnDisk(StoreDir(root), file, bytes)) << file << " is gone";
      }
    }
  }
  printf("%d healings killed, %d of them before they were done\n", kills, cut_short);
}

}  // namespace
