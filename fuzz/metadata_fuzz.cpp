// SPDX-License-Identifier: MIT
// Metadata records written by other programs: the reads over arbitrary stored keys and records.
//
// Input: a list of entries, each a mode byte, a key and a record. Mode bit 0 makes the key ours
// in form (a subject's zero-padded text, then the fuzz bytes as the property key); bits 1-2 pick
// the subject. Otherwise the key is raw fuzz bytes. Keys and records are a length byte and that
// many bytes.
//
// The store opens once per process and stays on its directory, so one temporary server
// directory serves every input: the database is emptied through a handle of our own in the
// same Berkeley DB environment and refilled with the entries before the reads.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_store.h"
#include "store_format.h"
#include "tamb/metadata.h"

namespace {

constexpr size_t kSubjectSize = tamb::store::subject_text_size;
constexpr size_t kMaxEntries = 16;
constexpr tamb_uuid_t kSubjects[] = {8589934593u, 4294967297u, 12, 0};

void check(bool condition) {
  if (!condition) abort();
}

std::string stored_subject(tamb_uuid_t subject) {
  char text[kSubjectSize] = {};
  tamb_uuid_unparse(subject, text);
  return std::string(text, kSubjectSize);
}

class Store {
 public:
  Store() {
    char path[] = "/tmp/tamb-fuzz-metadata-XXXXXX";
    check(mkdtemp(path) != nullptr);
    root_ = path;
    hooks::server_dir_set_root(root_);
    hooks::log_set_echo(false);
    // The module opens (and creates) the store at its first read.
    tamb_description_t *descs = nullptr;
    check(tamb_get_all_properties(&descs) == 0);
    free(descs);
    raw_.emplace(root_ + "/default");
    check(raw_->status() == 0);
  }

  ~Store() {
    raw_.reset();
    std::filesystem::remove_all(root_);
  }

  void clear() { check(raw_->clear() == 0); }

  void put(const std::string &key, const std::string &record) {
    check(raw_->put(key, record) == 0);
  }

 private:
  std::string root_;
  std::optional<kit::RawStore> raw_;
};

Store &store() {
  static Store instance;
  return instance;
}

struct Reader {
  const uint8_t *data;
  size_t size;
  std::string take() {
    if (size == 0) return {};
    size_t n = data[0] < size - 1 ? data[0] : size - 1;
    std::string out(reinterpret_cast<const char *>(data) + 1, n);
    data += n + 1;
    size -= n + 1;
    return out;
  }
};

// The strings of a description: every property has a key and a value, none longer than the
// stored bytes they came from (at most 255 here).
void check_description(const tamb_description_t &desc) {
  check(desc.property_count == 0 || desc.properties != nullptr);
  for (uint32_t i = 0; i < desc.property_count; ++i) {
    const tamb_property_t &property = desc.properties[i];
    check(property.key != nullptr && property.value != nullptr);
    check(strlen(property.key) <= 255 && strlen(property.value) <= 255);
    if (property.type != nullptr) check(strlen(property.type) <= 255);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Store &db = store();
  db.clear();

  // Berkeley DB refuses empty keys; every other byte string goes in as it is.
  std::map<std::string, std::string> stored;
  std::vector<std::pair<tamb_uuid_t, std::string>> ours;
  Reader in{data, size};
  for (size_t n = 0; n < kMaxEntries && in.size > 0; ++n) {
    const uint8_t mode = in.data[0];
    ++in.data;
    --in.size;
    std::string key = in.take();
    if (mode & 1) {
      const tamb_uuid_t subject = kSubjects[(mode >> 1) & 3];
      ours.emplace_back(subject, key);
      key = stored_subject(subject) + key;
    }
    std::string record = in.take();
    if (key.empty()) continue;
    db.put(key, record);
    stored[key] = record;
  }

  for (const auto &[subject, key_bytes] : ours) {
    // The property key as a caller would name it: the bytes up to the first NUL.
    const std::string key = key_bytes.c_str();
    char *value = nullptr;
    char *type = nullptr;
    const int result = tamb_get_property(subject, key.c_str(), &value, &type);
    const auto found = stored.find(stored_subject(subject) + key + '\0');
    if (key.empty() || found == stored.end() || found->second.size() <= 3) {
      check(result == -1 && value == nullptr && type == nullptr);
    } else {
      check(result == 0);
      // The value is the record up to its first NUL, also when the record holds none.
      const std::string &record = found->second;
      check(value != nullptr &&
            std::string(value) ==
                std::string(record.c_str(), strnlen(record.data(), record.size())));
      free(value);
      free(type);
    }

    tamb_description_t desc;
    const int count = tamb_get_properties(subject, &desc);
    check(count >= -1);
    if (count >= 0) {
      check(static_cast<uint32_t>(count) == desc.property_count);
      check(desc.property_count <= stored.size());
      check_description(desc);
      tamb_free_description(&desc, 0);
    }
  }

  tamb_description_t *descs = nullptr;
  const int subjects = tamb_get_all_properties(&descs);
  check(subjects >= -1);
  if (subjects >= 0) {
    check(static_cast<size_t>(subjects) <= stored.size());
    for (int i = 0; i < subjects; ++i) {
      check(descs[i].subject >> 32 != 0);
      check_description(descs[i]);
      tamb_free_description(&descs[i], 0);
    }
    free(descs);
  }
  hooks::log_clear();
  return 0;
}
