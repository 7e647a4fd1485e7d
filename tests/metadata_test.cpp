// SPDX-License-Identifier: MIT
// Metadata properties in one process: the stored bytes, every operation's results, messages and
// notices, foreign records, opening failures, threads and fork.
#include "tamb/metadata.h"

#include <db.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kit.h"
#include "kit_store.h"
#include "metadata_children.h"
#include "store_format.h"
#include "support.h"

namespace {

using std::string_literals::operator""s;

constexpr tamb_uuid_t kFirstClient = 8589934593u;
constexpr tamb_uuid_t kPort0 = 4294967297u;
constexpr tamb_uuid_t kNoKind = 12;  // a number without kind bits
char kSentinelText[] = "untouched";
char *const kSentinel = kSentinelText;

const char *DbError(int code) { return db_strerror(code); }

// The store's database opened beside the module, in the same environment, so that it sees
// what the module wrote without waiting for a flush.
class RawStore : public kit::RawStore {
 public:
  explicit RawStore(const std::string &dir) : kit::RawStore(dir) {
    EXPECT_EQ(status(), 0) << DbError(status());
  }

  void put(const std::string &key, const std::string &record) {
    ASSERT_EQ(kit::RawStore::put(key, record), 0);
  }
};

using support::TempDir;

struct Notice {
  tamb_client_t *client;
  int32_t type;
  int32_t change;
  tamb_uuid_t subject;
  uint64_t key_size;
  const char *key_pointer;
  std::string key;
};

std::vector<Notice> notices;

int CaptureNotice(tamb_client_t *client, tamb_request_t *request, void *) {
  const tamb_request_property_t property = request->body.property;
  notices.push_back({client, request->type, property.change, property.subject, property.key_size,
                     property.key, property.key != nullptr ? std::string(property.key) : "(null)"});
  return 0;
}

using Entry = std::tuple<std::string, std::string, std::string>;  // key, value, type or "-"

std::map<std::string, Entry> Entries(const tamb_description_t &desc) {
  std::map<std::string, Entry> out;
  for (uint32_t i = 0; i < desc.property_count; ++i) {
    const tamb_property_t &p = desc.properties[i];
    out[p.key] = {p.key, p.value, p.type != nullptr ? p.type : "-"};
  }
  return out;
}

using metadata_children::FailedParts;
using metadata_children::InChild;

// One store for the whole process, emptied before each test: the store opens once per
// process and stays on its first server directory.
class Metadata : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    hooks::server_dir_set_root(Root().path());
    hooks::log_set_echo(false);
  }

  void SetUp() override {
    hooks::request_set_handler(TAMB_REQ_PROPERTY_CHANGE_NOTIFY, CaptureNotice);
    ASSERT_EQ(tamb_remove_all_properties(nullptr), 0);
    notices.clear();
    hooks::log_clear();
    client_ = &server_.add_client("meta")->handle;
  }

  void TearDown() override { hooks::request_set_handler(TAMB_REQ_PROPERTY_CHANGE_NOTIFY, nullptr); }

  static const TempDir &Root() {
    static TempDir root;
    return root;
  }

  static std::string Dir() { return Root().path() + "/default"; }

  kit::Server server_;
  tamb_client_t *client_ = nullptr;
};

TEST_F(Metadata, StoresKeysAndRecordsByteForByte) {
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "v", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "t", "v", "t"), 0);
  ASSERT_EQ(tamb_set_property(nullptr, 0, "e", "value", ""), 0);
  {
    RawStore raw(Dir());
    EXPECT_EQ(raw.type(), DB_HASH);
    std::map<std::string, std::string> records = raw.records();
    const std::string one_letter = "8589934593" + std::string(27, '\0') + "k\0"s;
    ASSERT_EQ(one_letter.size(), 39u);
    ASSERT_EQ(records.count(one_letter), 1u);
    EXPECT_EQ(records[one_letter], "v\0"s);
    EXPECT_EQ(records[kit::stored_key("8589934593", "t")], "v\0t\0"s);
    const std::string subject_zero = "0" + std::string(36, '\0') + "e\0"s;
    ASSERT_EQ(records.count(subject_zero), 1u);
    EXPECT_EQ(records[subject_zero], "value\0"s) << "an empty type is stored as none";
    EXPECT_EQ(records.size(), 3u);
  }

  // A second set replaces value and type whole: without a type, the stored type is gone.
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "t", "w", nullptr), 0);
  RawStore raw(Dir());
  EXPECT_EQ(raw.records()[kit::stored_key("8589934593", "t")], "w\0"s);
  char *value = kSentinel, *type = kSentinel;
  ASSERT_EQ(tamb_get_property(0, "e", &value, &type), 0);
  EXPECT_STREQ(value, "value");
  EXPECT_EQ(type, nullptr);
  free(value);
}

TEST_F(Metadata, WellKnownKeysShareOneSitePrefix) {
  const std::pair<const char *, const char *> keys[] = {
      {TAMB_METADATA_PRETTY_NAME, "/metadata/pretty-name"},
      {TAMB_METADATA_HARDWARE, "/metadata/hardware"},
      {TAMB_METADATA_CONNECTED, "/metadata/connected"},
      {TAMB_METADATA_PORT_GROUP, "/metadata/port-group"},
      {TAMB_METADATA_ICON_SMALL, "/metadata/icon-small"},
      {TAMB_METADATA_ICON_LARGE, "/metadata/icon-large"}};
  const std::string prefix = "http://tamb.audio";
  for (const auto &[key, path] : keys) EXPECT_EQ(std::string(key), prefix + path);

  // They are ordinary keys to the store.
  ASSERT_EQ(tamb_set_property(nullptr, kPort0, TAMB_METADATA_PRETTY_NAME, "Left", nullptr), 0);
  RawStore raw(Dir());
  EXPECT_EQ(raw.records()[kit::stored_key("4294967297", TAMB_METADATA_PRETTY_NAME)], "Left\0"s);
}

TEST_F(Metadata, SetRefusesAnEmptyKeyOrValue) {
  const std::tuple<const char *, const char *, const char *> refused[] = {
      {nullptr, "v", "empty key string for metadata not allowed"},
      {"", "v", "empty key string for metadata not allowed"},
      {"k", nullptr, "empty value string for metadata not allowed"},
      {"k", "", "empty value string for metadata not allowed"}};
  for (const auto &[key, value, message] : refused) {
    hooks::log_clear();
    EXPECT_EQ(tamb_set_property(client_, kFirstClient, key, value, "t"), -1);
    EXPECT_TRUE(hooks::log_has(hooks::Level::error, message)) << message;
  }
  EXPECT_TRUE(notices.empty());
  tamb_description_t desc;
  EXPECT_EQ(tamb_get_properties(kFirstClient, &desc), 0);
}

TEST_F(Metadata, SetNotifiesCreatedThenChangedWithTheCallersKey) {
  const char *key = TAMB_METADATA_PRETTY_NAME;
  ASSERT_EQ(tamb_set_property(client_, kPort0, key, "Left", "text/plain"), 0);
  ASSERT_EQ(tamb_set_property(client_, kPort0, key, "Right", nullptr), 0);
  ASSERT_EQ(notices.size(), 2u);
  for (const Notice &n : notices) {
    EXPECT_EQ(n.client, client_);
    EXPECT_EQ(n.type, TAMB_REQ_PROPERTY_CHANGE_NOTIFY);
    EXPECT_EQ(n.subject, kPort0);
    EXPECT_EQ(n.key_size, strlen(key) + 1);
    EXPECT_EQ(n.key_pointer, key) << "the notice carries the caller's key, not a copy";
  }
  EXPECT_EQ(notices[0].change, TAMB_PROPERTY_CREATED);
  EXPECT_EQ(notices[1].change, TAMB_PROPERTY_CHANGED);

  // Without a client the property is stored and nobody hears of it.
  uint64_t requests = hooks::request_count();
  ASSERT_EQ(tamb_set_property(nullptr, kPort0, "quiet", "yes", nullptr), 0);
  EXPECT_EQ(hooks::request_count(), requests);
  char *value = nullptr, *type = kSentinel;
  ASSERT_EQ(tamb_get_property(kPort0, "quiet", &value, &type), 0);
  EXPECT_STREQ(value, "yes");
  free(value);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
}

TEST_F(Metadata, GetHandsOutCopiesAndTreatsRecordsOf3BytesOrLessAsAbsent) {
  const char value_in[] = "Synth";
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "name", value_in, "text/plain"), 0);
  char *value = nullptr, *type = nullptr;
  ASSERT_EQ(tamb_get_property(kFirstClient, "name", &value, &type), 0);
  EXPECT_STREQ(value, "Synth");
  EXPECT_STREQ(type, "text/plain");
  EXPECT_NE(value, value_in);
  free(value);
  free(type);

  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "two", "x", nullptr), 0);     // 2 bytes
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "three", "xy", nullptr), 0);  // 3 bytes
  for (const char *absent : {"two", "three", "missing", "", static_cast<const char *>(nullptr)}) {
    value = kSentinel;
    type = kSentinel;
    EXPECT_EQ(tamb_get_property(kFirstClient, absent, &value, &type), -1);
    EXPECT_EQ(value, kSentinel);
    EXPECT_EQ(type, kSentinel);
  }
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u) << "absence is not an error";

  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "four", "x", "y"), 0);  // 4 bytes
  ASSERT_EQ(tamb_get_property(kFirstClient, "four", &value, &type), 0);
  EXPECT_STREQ(value, "x");
  EXPECT_STREQ(type, "y");
  free(value);
  free(type);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "four", "xyz", nullptr), 0);  // 4 bytes
  ASSERT_EQ(tamb_get_property(kFirstClient, "four", &value, nullptr), 0);
  EXPECT_STREQ(value, "xyz");
  free(value);
}

TEST_F(Metadata, GetPropertiesListsOneSubjectWithoutShortRecords) {
  std::map<std::string, Entry> expected;
  for (int i = 0; i < 20; ++i) {  // past two growths of the array
    std::string key = "k" + std::to_string(i), value = "value-" + std::to_string(i);
    const char *type = i % 2 ? "text/plain" : nullptr;
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, key.c_str(), value.c_str(), type), 0);
    expected[key] = {key, value, type != nullptr ? type : "-"};
  }
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "short", "x", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient + 1, "other", "subject", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kNoKind, "plain", "number", nullptr), 0);

  tamb_description_t desc{};
  ASSERT_EQ(tamb_get_properties(kFirstClient, &desc), 20);
  EXPECT_EQ(desc.subject, kFirstClient);
  EXPECT_EQ(desc.property_count, 20u);
  EXPECT_EQ(Entries(desc), expected);
  tamb_free_description(&desc, 0);

  // A subject is a subject to this query whether or not it has kind bits.
  ASSERT_EQ(tamb_get_properties(kNoKind, &desc), 1);
  EXPECT_EQ(desc.subject, kNoKind);
  tamb_free_description(&desc, 0);

  // Nothing found: the array and count are reset, the subject is left alone.
  tamb_description_t empty{};
  empty.subject = 77;
  empty.properties = reinterpret_cast<tamb_property_t *>(kSentinel);
  empty.property_count = 5;
  EXPECT_EQ(tamb_get_properties(kFirstClient + 2, &empty), 0);
  EXPECT_EQ(empty.properties, nullptr);
  EXPECT_EQ(empty.property_count, 0u);
  EXPECT_EQ(empty.subject, 77u);
  tamb_free_description(&empty, 0);

  auto *owned = static_cast<tamb_description_t *>(malloc(sizeof(tamb_description_t)));
  ASSERT_EQ(tamb_get_properties(kFirstClient + 1, owned), 1);
  tamb_free_description(owned, 1);
  EXPECT_EQ(tamb_get_properties(kFirstClient, nullptr), -1);

  // Memory that runs out for one of the copies fails the query as a whole, leaving nothing to
  // free: part of a subject's properties would pass for all of them.
  if (support::HeapCounter::available()) {
    const std::string icon(100000, 'i');
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "icon", icon.c_str(), nullptr), 0);
    {
      support::AllocationFailure no_icon_copy(icon.size() + 1);
      EXPECT_EQ(tamb_get_properties(kFirstClient, &desc), -1);
    }
    EXPECT_EQ(desc.properties, nullptr);
    EXPECT_EQ(desc.property_count, 0u);
    ASSERT_EQ(tamb_get_properties(kFirstClient, &desc), 21) << "and it recovers";
    tamb_free_description(&desc, 0);
  }

  // The withdrawn calls touch nothing.
  tamb_description_t untouched{};
  untouched.subject = 5;
  tamb_description_t *array = &untouched;
  EXPECT_EQ(tamb_get_description(kFirstClient, &untouched), 0);
  EXPECT_EQ(tamb_get_all_descriptions(&array), 0);
  EXPECT_EQ(untouched.subject, 5u);
  EXPECT_EQ(array, &untouched);
}

// A listing of all properties: each subject with its properties, in order.
using Listing = std::vector<std::pair<tamb_uuid_t, std::vector<Entry>>>;

// The text up to the first NUL of size bytes, or all of them.
std::string TextOf(const void *bytes, size_t size) {
  const auto *text = static_cast<const char *>(bytes);
  return std::string(text, strnlen(text, size));
}

// What tamb_get_all_properties must hand out, worked out from a raw cursor's walk of the store:
// subjects as tamb_uuid_parse reads them, in the order in which the walk first meets them, each
// with its properties in the walk's order.
Listing ListingOfWalk(RawStore &raw, int *subject_runs) {
  Listing listing;
  std::map<tamb_uuid_t, size_t> position;
  tamb_uuid_t last = 0;
  *subject_runs = 0;
  raw.each([&](const DBT &key, const DBT &data) {
    if (key.size <= tamb::store::subject_text_size + 1) return;
    std::string text = TextOf(key.data, tamb::store::subject_text_size);
    tamb_uuid_t subject;
    if (tamb_uuid_parse(text.c_str(), &subject) != 0) return;
    *subject_runs += subject != last;
    last = subject;
    auto [at, added] = position.emplace(subject, listing.size());
    if (added) listing.push_back({subject, {}});
    const char *record = static_cast<const char *>(data.data);
    std::string value = TextOf(record, data.size);
    std::string type = data.size > value.size() + 1
                           ? TextOf(record + value.size() + 1, data.size - value.size() - 1)
                           : "-";
    listing[at->second].second.emplace_back(
        TextOf(static_cast<const char *>(key.data) + tamb::store::subject_text_size,
               key.size - tamb::store::subject_text_size),
        value, type);
  });
  return listing;
}

// Takes over and releases what tamb_get_all_properties handed out.
Listing ListingOf(tamb_description_t *all, int count) {
  Listing listing;
  for (int i = 0; i < count; ++i) {
    EXPECT_GE(all[i].property_capacity, all[i].property_count);
    std::vector<Entry> entries;
    for (uint32_t p = 0; p < all[i].property_count; ++p) {
      const tamb_property_t &property = all[i].properties[p];
      entries.emplace_back(property.key, property.value,
                           property.type != nullptr ? property.type : "-");
    }
    listing.push_back({all[i].subject, entries});
    tamb_free_description(&all[i], 0);
  }
  free(all);
  return listing;
}

// A hash store interleaves the records of its subjects, so the order in which a scan first meets
// them is neither sorted nor any other grouping; the listing keeps exactly that order.
TEST_F(Metadata, GetAllPropertiesListsSubjectsInTheOrderTheScanMeetsThem) {
  tamb_description_t *all = nullptr;
  ASSERT_EQ(tamb_get_all_properties(&all), 0);
  ASSERT_NE(all, nullptr) << "an empty result is still an array to free";
  free(all);

  // 300 subjects (past several growths of every array), subject i with 1 + i % 7 properties.
  std::map<tamb_uuid_t, std::map<std::string, Entry>> expected;
  for (uint32_t s = 0; s < 300; ++s) {
    tamb_uuid_t subject = s % 2 ? tamb_port_uuid_generate(s) : kFirstClient + s;
    for (uint32_t p = 0; p <= s % 7; ++p) {
      std::string key = "key" + std::to_string(p), value = "v" + std::to_string(s * 100 + p);
      const char *type = p % 3 ? "t" : nullptr;
      ASSERT_EQ(tamb_set_property(nullptr, subject, key.c_str(), value.c_str(), type), 0);
      expected[subject][key] = {key, value, type != nullptr ? type : "-"};
    }
  }
  // Listed here, though tamb_get_property and tamb_get_properties leave it out.
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "short", "x", nullptr), 0);
  expected[kFirstClient]["short"] = {"short", "x", "-"};
  // Records much larger than a page are read whole, however the scan reads them.
  const std::string icon(200000, 'i');
  ASSERT_EQ(tamb_set_property(nullptr, kPort0, TAMB_METADATA_ICON_LARGE, icon.c_str(), "image/png"),
            0);
  expected[kPort0][TAMB_METADATA_ICON_LARGE] = {TAMB_METADATA_ICON_LARGE, icon, "image/png"};
  // Subjects without kind bits are left out, the empty subject among them.
  ASSERT_EQ(tamb_set_property(nullptr, kNoKind, "plain", "number", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, 0, "none", "empty", nullptr), 0);
  RawStore raw(Dir());
  // Foreign subject texts count as whatever subject tamb_uuid_parse reads in them.
  for (const std::string &text : {"+8589934595"s, " 8589934597"s, "0008589934599"s, "8589934601x"s,
                                  "99999999999999999999"s}) {
    raw.put(text + std::string(tamb::store::subject_text_size - text.size(), '\0') + "foreign\0"s,
            "from " + text + '\0');
  }

  int runs = 0;
  Listing walk = ListingOfWalk(raw, &runs);
  ASSERT_EQ(walk.size(), 302u);
  std::vector<tamb_uuid_t> first_seen;
  for (const auto &[subject, entries] : walk) first_seen.push_back(subject);
  ASSERT_FALSE(std::is_sorted(first_seen.begin(), first_seen.end()));
  ASSERT_GT(runs, 2 * 302) << "the records of a subject should lie apart in the scan";

  int count = tamb_get_all_properties(&all);
  ASSERT_EQ(count, 302);
  Listing got = ListingOf(all, count);
  EXPECT_EQ(got, walk);
  // The walk itself reads what was set.
  for (const auto &[subject, entries] : got) {
    if (expected.count(subject) == 0) continue;
    std::map<std::string, Entry> properties;
    for (const Entry &entry : entries) {
      if (std::get<0>(entry) != "foreign") properties[std::get<0>(entry)] = entry;
    }
    EXPECT_EQ(properties, expected[subject]) << subject;
  }
  EXPECT_EQ(tamb_get_all_properties(nullptr), -1);

  // Memory that runs out halfway (for the copy of the icon) fails the listing as a whole: a
  // shorter one would pass for the whole store.
  if (support::HeapCounter::available()) {
    tamb_description_t sentinel{};
    tamb_description_t *untouched = &sentinel;
    {
      support::AllocationFailure no_icon_copy(icon.size() + 1);
      EXPECT_EQ(tamb_get_all_properties(&untouched), -1);
    }
    EXPECT_EQ(untouched, &sentinel);
    count = tamb_get_all_properties(&all);
    EXPECT_EQ(ListingOf(all, count), walk) << "and it recovers";
  }
}

TEST_F(Metadata, RemovePropertyDeletesOneKeyAndNotifies) {
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "a", "1", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "b", "2", nullptr), 0);
  ASSERT_EQ(tamb_remove_property(client_, kFirstClient, "a"), 0);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].change, TAMB_PROPERTY_DELETED);
  EXPECT_EQ(notices[0].subject, kFirstClient);
  EXPECT_EQ(notices[0].key, "a");
  EXPECT_EQ(notices[0].key_size, 2u);
  tamb_description_t desc;
  ASSERT_EQ(tamb_get_properties(kFirstClient, &desc), 0) << "a 2-byte record is not listed";
  RawStore raw(Dir());
  std::map<std::string, std::string> records = raw.records();
  EXPECT_EQ(records.count(kit::stored_key("8589934593", "a")), 0u);
  EXPECT_EQ(records.count(kit::stored_key("8589934593", "b")), 1u);

  // A missing key, and a null key, are failures with a message and without a notice.
  EXPECT_EQ(tamb_remove_property(client_, kFirstClient, "a"), -1);
  EXPECT_TRUE(
      hooks::log_has(hooks::Level::error, "Cannot delete key a ("s + DbError(DB_NOTFOUND) + ")"));
  EXPECT_EQ(tamb_remove_property(client_, kFirstClient, nullptr), -1);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 2u);
  EXPECT_EQ(notices.size(), 1u);
}

TEST_F(Metadata, RemovePropertiesRemovesOneSubjectWithOneNotice) {
  EXPECT_EQ(tamb_remove_properties(client_, kFirstClient), 0);
  EXPECT_TRUE(notices.empty()) << "nothing removed, nothing to tell";

  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "a", "one", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "b", "two", "t"), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "short", "x", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient + 1, "a", "kept", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kNoKind, "a", "plain", nullptr), 0);

  EXPECT_EQ(tamb_remove_properties(client_, kFirstClient), 3) << "short records count too";
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].change, TAMB_PROPERTY_DELETED);
  EXPECT_EQ(notices[0].subject, kFirstClient);
  EXPECT_EQ(notices[0].key_pointer, nullptr);
  EXPECT_EQ(notices[0].key_size, 0u);

  // Subjects without kind bits are removed by their number like any other.
  EXPECT_EQ(tamb_remove_properties(nullptr, kNoKind), 1);
  EXPECT_EQ(notices.size(), 1u);
  RawStore raw(Dir());
  std::map<std::string, std::string> records = raw.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.begin()->first, kit::stored_key("8589934594", "a"));
}

TEST_F(Metadata, RemoveAllEmptiesTheStoreAndNotifiesForEverySubject) {
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "a", "one", nullptr), 0);
  ASSERT_EQ(tamb_set_property(nullptr, kPort0, "b", "two", nullptr), 0);
  ASSERT_EQ(tamb_remove_all_properties(client_), 0);
  ASSERT_EQ(tamb_remove_all_properties(client_), 0) << "an empty store is no failure";
  ASSERT_EQ(notices.size(), 2u);
  for (const Notice &n : notices) {
    EXPECT_EQ(n.change, TAMB_PROPERTY_DELETED);
    EXPECT_EQ(n.subject, 0u);
    EXPECT_EQ(n.key_pointer, nullptr);
    EXPECT_EQ(n.key_size, 0u);
  }
  RawStore raw(Dir());
  EXPECT_TRUE(raw.records().empty());
  EXPECT_EQ(tamb_remove_all_properties(nullptr), 0);
  EXPECT_EQ(notices.size(), 2u);
}

void IgnoreChange(tamb_uuid_t, const char *, tamb_property_change_t, void *) {}
void IgnoreChangeToo(tamb_uuid_t, const char *, tamb_property_change_t, void *) {}

TEST_F(Metadata, CallbackIsSetOnlyWhileTheClientIsInactive) {
  int first_arg = 0, second_arg = 0;
  const auto *flag = reinterpret_cast<const uint8_t *>(client_->control) + 369;
  ASSERT_EQ(tamb_set_property_change_callback(client_, IgnoreChange, &first_arg), 0);
  EXPECT_EQ(client_->property_callback, IgnoreChange);
  EXPECT_EQ(client_->property_arg, &first_arg);
  EXPECT_EQ(*flag, 1);

  client_->control->active = 1;
  EXPECT_EQ(tamb_set_property_change_callback(client_, IgnoreChangeToo, &second_arg), -1);
  EXPECT_EQ(tamb_set_property_change_callback(client_, nullptr, nullptr), -1);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "You cannot set callbacks on an active client."));
  EXPECT_EQ(client_->property_callback, IgnoreChange);
  EXPECT_EQ(client_->property_arg, &first_arg);
  EXPECT_EQ(*flag, 1);

  client_->control->active = 0;
  ASSERT_EQ(tamb_set_property_change_callback(client_, nullptr, nullptr), 0);
  EXPECT_EQ(client_->property_callback, nullptr);
  EXPECT_EQ(*flag, 0);
  EXPECT_EQ(tamb_set_property_change_callback(nullptr, IgnoreChange, nullptr), -1);
}

struct Heard {
  int listener;
  tamb_uuid_t subject;
  std::string key;
  tamb_property_change_t change;
};

std::vector<Heard> heard;

void Listen(tamb_uuid_t subject, const char *key, tamb_property_change_t change, void *arg) {
  heard.push_back({*static_cast<int *>(arg), subject, key != nullptr ? key : "(null)", change});
}

TEST_F(Metadata, NoticesOfOneClientReachEveryClientWithACallback) {
  kit::metadata_relay_to(&server_);
  tamb_client_t *a = &server_.add_client("a")->handle;
  tamb_client_t *b = &server_.add_client("b")->handle;
  int id_a = 1, id_b = 2;
  ASSERT_EQ(tamb_set_property_change_callback(a, Listen, &id_a), 0);
  ASSERT_EQ(tamb_set_property_change_callback(b, Listen, &id_b), 0);
  heard.clear();

  const char *key = TAMB_METADATA_PRETTY_NAME;
  ASSERT_EQ(tamb_set_property(client_, kPort0, key, "Left", nullptr), 0);
  ASSERT_EQ(tamb_set_property(client_, kPort0, key, "Main left", nullptr), 0);
  ASSERT_EQ(tamb_remove_property(client_, kPort0, key), 0);
  ASSERT_EQ(tamb_set_property(client_, kPort0, key, "Left", nullptr), 0);
  ASSERT_EQ(tamb_remove_properties(client_, kPort0), 1);
  ASSERT_EQ(tamb_remove_all_properties(client_), 0);
  ASSERT_EQ(tamb_set_property_change_callback(a, nullptr, nullptr), 0);
  ASSERT_EQ(tamb_set_property(client_, kFirstClient, "late", "only b", nullptr), 0);

  std::vector<std::tuple<int, tamb_uuid_t, std::string, tamb_property_change_t>> got, want;
  for (const Heard &h : heard) got.emplace_back(h.listener, h.subject, h.key, h.change);
  for (auto [subject, k, change] : {std::tuple{kPort0, std::string(key), TAMB_PROPERTY_CREATED},
                                    std::tuple{kPort0, std::string(key), TAMB_PROPERTY_CHANGED},
                                    std::tuple{kPort0, std::string(key), TAMB_PROPERTY_DELETED},
                                    std::tuple{kPort0, std::string(key), TAMB_PROPERTY_CREATED},
                                    std::tuple{kPort0, "(null)"s, TAMB_PROPERTY_DELETED},
                                    std::tuple{tamb_uuid_t{0}, "(null)"s, TAMB_PROPERTY_DELETED}}) {
    // The server's client list is newest first.
    want.emplace_back(id_b, subject, k, change);
    want.emplace_back(id_a, subject, k, change);
  }
  want.emplace_back(id_b, kFirstClient, "late", TAMB_PROPERTY_CREATED);
  EXPECT_EQ(got, want);
  kit::metadata_relay_to(nullptr);
}

// Keys of 38 bytes or fewer are foreign, whatever they start with, and no scan counts them:
// neither the listing of one subject or of all, nor the removal of a subject. The subject's own
// properties fill several of the bulk scans' buffers, so that every path meets foreign keys.
TEST_F(Metadata, ForeignKeysAreSkippedByEveryScan) {
  const std::string subject = "8589934593";
  const std::string text = kit::stored_key(subject, "").substr(0, tamb::store::subject_text_size);
  const std::string big(100000, 'b');  // kept on pages of its own
  const std::vector<std::pair<std::string, std::string>> foreign = {
      {"", "empty key"},
      {"config", "x"},
      {text.substr(0, 36), "36 bytes of the subject text"},
      {text, "the subject text alone"},
      {text + '\0', "38 bytes: the subject text and a NUL"},
      {text + 'k', "38 bytes: the subject text and a letter"},
      {text.substr(0, 36) + "kk", big},
  };
  constexpr int kOwn = 150;
  const std::string value(1000, 'v');
  for (int i = 0; i < kOwn; ++i) {
    std::string key = "k" + std::to_string(i);
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, key.c_str(), value.c_str(), nullptr), 0);
  }
  {
    RawStore raw(Dir());
    for (const auto &[key, record] : foreign) raw.put(key, record);
  }

  tamb_description_t desc;
  EXPECT_EQ(tamb_get_properties(kFirstClient, &desc), kOwn);
  tamb_free_description(&desc, 0);
  tamb_description_t *all = nullptr;
  int count = tamb_get_all_properties(&all);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(all[0].subject, kFirstClient);
  EXPECT_EQ(all[0].property_count, static_cast<uint32_t>(kOwn));
  tamb_free_description(&all[0], 0);
  free(all);
  EXPECT_EQ(tamb_remove_properties(nullptr, kFirstClient), kOwn);

  RawStore raw(Dir());
  const std::map<std::string, std::string> kept(foreign.begin(), foreign.end());
  EXPECT_EQ(raw.records(), kept) << "the removal leaves foreign records alone";
}

TEST_F(Metadata, ForeignRecordsAreReadWithinTheirBounds) {
  const std::string subject = "8589934593";
  {
    RawStore raw(Dir());
    raw.put(kit::stored_key(subject, "nonul").substr(0, 42), "abcd");  // neither ends in NUL
    raw.put(kit::stored_key(subject, "typed"), "v\0typ"s);             // type without NUL
    raw.put("8589934594" + std::string(27, 'x') + "wide\0"s, "no NUL in the subject text");
  }
  tamb_description_t desc;
  ASSERT_EQ(tamb_get_properties(kFirstClient, &desc), 2);
  std::map<std::string, Entry> expected = {{"nonul", {"nonul", "abcd", "-"}},
                                           {"typed", {"typed", "v", "typ"}}};
  EXPECT_EQ(Entries(desc), expected);
  tamb_free_description(&desc, 0);

  tamb_description_t *all = nullptr;
  int count = tamb_get_all_properties(&all);
  ASSERT_EQ(count, 2);
  size_t listed = 0;
  for (int i = 0; i < count; ++i) {
    listed += all[i].property_count;
    tamb_free_description(&all[i], 0);
  }
  free(all);
  EXPECT_EQ(listed, 3u);
}

// Records of 0 to 4 bytes, across the boundary at 3: a lookup and the listing of one subject take
// a record of 3 bytes or fewer for absent, the listing of all properties lists every one.
TEST_F(Metadata, OnlyTheListingOfAllCountsRecordsOf3BytesOrFewer) {
  const std::string subject = "8589934593";
  const std::vector<std::pair<std::string, std::string>> records = {
      {""s, ""}, {"\0"s, ""}, {"x\0"s, "x"}, {"xy\0"s, "xy"}, {"xyz\0"s, "xyz"}};
  std::map<std::string, Entry> every, longer;
  {
    RawStore raw(Dir());
    for (size_t size = 0; size < records.size(); ++size) {
      const std::string key = "size" + std::to_string(size);
      raw.put(kit::stored_key(subject, key), records[size].first);
      every[key] = {key, records[size].second, "-"};
      if (size > 3) longer[key] = every[key];
    }
  }
  for (const auto &[key, entry] : every) {
    char *value = nullptr;
    EXPECT_EQ(tamb_get_property(kFirstClient, key.c_str(), &value, nullptr),
              longer.count(key) != 0 ? 0 : -1)
        << key;
    free(value);
  }
  tamb_description_t desc;
  ASSERT_EQ(tamb_get_properties(kFirstClient, &desc), static_cast<int>(longer.size()));
  EXPECT_EQ(Entries(desc), longer);
  tamb_free_description(&desc, 0);
  tamb_description_t *all = nullptr;
  ASSERT_EQ(tamb_get_all_properties(&all), 1);
  EXPECT_EQ(Entries(all[0]), every);
  tamb_free_description(all, 1);
}

TEST_F(Metadata, AForkedChildOpensItsOwnHandlesAndLeavesTheParentsAlone) {
  ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "parent", "here", nullptr), 0);
  int status = InChild([] {
    char *value = nullptr;
    ASSERT_EQ(tamb_get_property(kFirstClient, "parent", &value, nullptr), 0);
    EXPECT_STREQ(value, "here");
    free(value);
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "child", "too", nullptr), 0);
    // A normal exit closes the child's handles, which must not be the parent's.
    exit(FailedParts() > 0 ? 1 : 0);
  });
  ASSERT_EQ(status, 0);
  for (int i = 0; i < 50; ++i) {
    std::string key = "after" + std::to_string(i);
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, key.c_str(), "fork", nullptr), 0);
  }
  tamb_description_t desc;
  EXPECT_EQ(tamb_get_properties(kFirstClient, &desc), 52);
  tamb_free_description(&desc, 0);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
}

// ---- Opening ------------------------------------------------------------------------------

// Every database operation fails with -1 and leaves its outputs alone.
void ExpectEveryOperationFails() {
  char *value = kSentinel;
  tamb_description_t desc{};
  tamb_description_t *all = &desc;
  EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "v", nullptr), -1);
  EXPECT_EQ(tamb_get_property(kFirstClient, "k", &value, &value), -1);
  EXPECT_EQ(value, kSentinel);
  EXPECT_EQ(tamb_get_properties(kFirstClient, &desc), -1);
  EXPECT_EQ(tamb_get_all_properties(&all), -1);
  EXPECT_EQ(all, &desc);
  EXPECT_EQ(tamb_remove_property(nullptr, kFirstClient, "k"), -1);
  EXPECT_EQ(tamb_remove_properties(nullptr, kFirstClient), -1);
  EXPECT_EQ(tamb_remove_all_properties(nullptr), -1);
}

TEST(MetadataStore, AServerDirectoryThatCannotBeMadeFailsEveryCallUntilItCan) {
  TempDir root;
  std::string file = root.path() + "/file";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_EQ(InChild([&] {
              hooks::log_set_echo(false);
              hooks::server_dir_set_root(file);  // "<file>/default" cannot be a directory
              ExpectEveryOperationFails();
              // Each call tries to open again and says why it cannot.
              std::string message = "cannot open DB environment: "s + DbError(ENOTDIR);
              size_t count = 0;
              for (const hooks::Message &m : hooks::log_messages()) count += m.text == message;
              EXPECT_EQ(count, 7u);
              EXPECT_EQ(hooks::log_count(hooks::Level::error), 7u);

              hooks::server_dir_set_root(root.path());
              EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "v", nullptr), 0);
            }),
            0);
}

TEST(MetadataStore, AReadOnlyServerDirectoryFailsEveryCall) {
  TempDir root;
  std::string dir = root.path() + "/default";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  int status = InChild([&] {
    std::string why;
    if (!support::enter_mount_namespace(&why) ||
        mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      fprintf(stderr, "skipped: no read-only bind mount here (%s)\n", why.c_str());
      _exit(support::child_skipped);
    }
    hooks::log_set_echo(false);
    hooks::server_dir_set_root(root.path());
    ExpectEveryOperationFails();
    std::string message = "cannot open DB environment: "s + DbError(EROFS);
    EXPECT_TRUE(hooks::log_has(hooks::Level::error, message)) << message;
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 7u);
  });
  if (status == support::child_skipped) GTEST_SKIP() << "no private read-only mount";
  EXPECT_EQ(status, 0);
}

// What keeps the file from opening is no damage: nothing is healed or moved, every call names
// the file, and the first call after the cause is gone opens it.
TEST(MetadataStore, ADatabaseFileThatCannotBeOpenedIsNamedAndALaterCallRetries) {
  TempDir root;
  std::string dir = root.path() + "/default";
  std::string path = dir + "/" + tamb::store::db_file;
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(InChild([&] {
              hooks::log_set_echo(false);
              hooks::server_dir_set_root(root.path());
              EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "v", nullptr), -1);
              EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "v", nullptr), -1);
              const std::string message =
                  "Cannot open metadata DB at " + path + ": " + DbError(EISDIR);
              EXPECT_EQ(hooks::log_count(hooks::Level::error), 2u);
              EXPECT_TRUE(hooks::log_has(hooks::Level::error, message)) << message;

              ASSERT_EQ(rmdir(path.c_str()), 0);
              EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "value", nullptr), 0);
              char *value = nullptr;
              EXPECT_EQ(tamb_get_property(kFirstClient, "k", &value, nullptr), 0);
              free(value);
            }),
            0);
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos) << entry.path();
  }
}

TEST(MetadataStore, CreatesItsFileWithMode0666LessTheUmask) {
  TempDir root;
  EXPECT_EQ(InChild([&] {
              umask(027);
              hooks::server_dir_set_root(root.path());
              ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "k", "value", nullptr), 0);
              struct stat st;
              // The file name is part of the stored format: spelled out, not taken from the
              // library.
              ASSERT_EQ(stat((root.path() + "/default/metadata.db").c_str(), &st), 0);
              EXPECT_EQ(st.st_mode & 0777, 0640u);
            }),
            0);
}

// The lock file as a machine that went down would leave it: whatever it holds, the first process
// to open the store again sets it up anew instead of waiting on it, and finds every property.
TEST(MetadataStore, AProcessAloneOnTheStoreSetsALeftoverLockFileUpAnew) {
  TempDir root;
  auto set = [&] {
    hooks::server_dir_set_root(root.path());
    ASSERT_EQ(tamb_set_property(nullptr, kFirstClient, "kept", "value", nullptr), 0);
  };
  ASSERT_EQ(InChild(set), 0);
  std::string lock = root.path() + "/default/" + tamb::store::lock_file;
  struct stat st;
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  int fd = open(lock.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string garbage(st.st_size, '\xff');
  ASSERT_EQ(write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
  close(fd);
  EXPECT_EQ(InChild([&] {
              hooks::server_dir_set_root(root.path());
              char *value = nullptr;
              ASSERT_EQ(tamb_get_property(kFirstClient, "kept", &value, nullptr), 0);
              EXPECT_STREQ(value, "value");
              free(value);
              EXPECT_EQ(tamb_set_property(nullptr, kFirstClient, "more", "value", nullptr), 0);
            }),
            0);
}

TEST(MetadataStore, ThreadsOpenAndShareOneStore) {
  TempDir root;
  EXPECT_EQ(InChild([&] {
              hooks::server_dir_set_root(root.path());
              constexpr int threads = 8, keys = 40;
              std::latch start(threads);
              std::vector<std::thread> workers;
              std::vector<int> failures(threads, 0);
              for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t] {
                  start.arrive_and_wait();  // every thread makes the first call at once
                  tamb_uuid_t subject = tamb_port_uuid_generate(t);
                  for (int i = 0; i < keys; ++i) {
                    std::string key = "key" + std::to_string(i);
                    char *value = nullptr;
                    tamb_description_t desc;
                    failures[t] +=
                        tamb_set_property(nullptr, subject, key.c_str(), "value", nullptr) != 0;
                    failures[t] += tamb_get_property(subject, key.c_str(), &value, nullptr) != 0;
                    free(value);
                    failures[t] += tamb_get_properties(subject, &desc) != i + 1;
                    tamb_free_description(&desc, 0);
                  }
                });
              }
              for (std::thread &w : workers) w.join();
              EXPECT_EQ(failures, std::vector<int>(threads, 0));
              tamb_description_t *all = nullptr;
              ASSERT_EQ(tamb_get_all_properties(&all), threads);
              for (int t = 0; t < threads; ++t) {
                EXPECT_EQ(all[t].property_count, static_cast<uint32_t>(keys));
                tamb_free_description(&all[t], 0);
              }
              free(all);
            }),
            0);
}

}  // namespace
