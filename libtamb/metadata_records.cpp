// SPDX-License-Identifier: MIT
// The codec of the metadata store: a stored key is the subject's decimal text, zero-padded to
// subject_text_size bytes, then the key and its NUL; a stored record is the value and its NUL,
// then perhaps the type and its NUL. Records and keys written by other programs need not keep
// to that form: whatever is read back is bounded by the sizes Berkeley DB reports.
#include "metadata_records.h"

#include <cstdlib>
#include <cstring>

#include "tamb/uuid.h"

namespace tamb::store {

namespace {

// A new copy of the string at text, which ends at its NUL or after max bytes. Records and keys
// written by other programs need not end in a NUL; the copy always does.
char *text_copy(const void *text, size_t max) {
  const char *from = max != 0 ? static_cast<const char *>(text) : "";
  size_t n = strnlen(from, max);
  auto *copy = static_cast<char *>(malloc(n + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, from, n);
  copy[n] = '\0';
  return copy;
}

}  // namespace

// The zero-padded text of a subject as it starts every stored key.
void subject_text(tamb_uuid_t subject, char text[subject_text_size]) {
  memset(text, 0, subject_text_size);
  tamb_uuid_unparse(subject, text);
}

// Fills dbt with a new buffer holding the stored key; false when out of memory (dbt stays
// cleared, so that dbt_release does nothing).
bool make_key_dbt(DBT *dbt, tamb_uuid_t subject, const char *key) {
  memset(dbt, 0, sizeof *dbt);
  size_t n = strlen(key);
  if (n > UINT32_MAX - shortest_key) return false;
  auto *buf = static_cast<char *>(malloc(n + shortest_key));
  if (buf == nullptr) return false;
  subject_text(subject, buf);
  memcpy(buf + subject_text_size, key, n + 1);
  dbt->data = buf;
  dbt->size = static_cast<uint32_t>(n + shortest_key);
  return true;
}

bool make_record_dbt(DBT *dbt, const char *value, const char *type) {
  memset(dbt, 0, sizeof *dbt);
  size_t v = strlen(value) + 1;
  size_t t = type != nullptr && type[0] != '\0' ? strlen(type) + 1 : 0;
  if (v > UINT32_MAX - t) return false;
  auto *buf = static_cast<char *>(malloc(v + t));
  if (buf == nullptr) return false;
  memcpy(buf, value, v);
  if (t != 0) memcpy(buf + v, type, t);
  dbt->data = buf;
  dbt->size = static_cast<uint32_t>(v + t);
  return true;
}

// Berkeley DB hands out a block of its own for an empty record too, so the size says nothing
// about whether there is memory to free.
void dbt_release(DBT *dbt) {
  free(dbt->data);
  dbt->data = nullptr;
  dbt->size = 0;
}

// Value and type (or null) of a fetched record; false when out of memory, with nothing kept.
bool record_read(const DBT &data, char **value, char **type) {
  const auto *record = static_cast<const char *>(data.data);
  size_t s = data.size != 0 ? strnlen(record, data.size) : 0;
  *value = text_copy(record, data.size);
  *type = data.size > s + 1 ? text_copy(record + s + 1, data.size - s - 1) : nullptr;
  if (*value != nullptr && (*type != nullptr || data.size <= s + 1)) return true;
  free(*value);
  free(*type);
  return false;
}

// Fills property from a key fetched by a cursor (longer than shortest_key) and its record.
bool property_read(const DBT &key, const DBT &data, tamb_property_t *property) {
  TAMB_CHECK(key.size > shortest_key);
  property->key = text_copy(static_cast<const char *>(key.data) + subject_text_size,
                            key.size - subject_text_size);
  if (property->key == nullptr) return false;
  if (record_read(data, &property->value, &property->type)) return true;
  free(property->key);
  return false;
}

void property_release(tamb_property_t *property) {
  free(property->key);
  free(property->value);
  free(property->type);
}

void description_release(tamb_description_t *desc) {
  for (uint32_t i = 0; i < desc->property_count; ++i) property_release(&desc->properties[i]);
  free(desc->properties);
  desc->properties = nullptr;
  desc->property_count = 0;
}

// The subject whose text starts a stored key (longer than shortest_key), as tamb_uuid_parse
// reads it; false when the key has none. The usual text, decimal digits alone, is read here at
// once; anything else (a sign, blanks, more digits than fit) goes to tamb_uuid_parse.
bool key_subject(const char *key, tamb_uuid_t *subject) {
  constexpr size_t digits_that_fit = 19;  // every 19-digit number fits in 64 bits
  tamb_uuid_t value = 0;
  size_t n = 0;
  while (n < digits_that_fit && key[n] >= '0' && key[n] <= '9') {
    value = value * 10 + static_cast<tamb_uuid_t>(key[n++] - '0');
  }
  if (n > 0 && key[n] == '\0') {
    *subject = value;
    return value > UINT32_MAX;  // identifiers carry kind bits
  }
  // The subject text of a foreign key need not end in a NUL within its 37 bytes.
  char text[subject_text_size + 1];
  memcpy(text, key, subject_text_size);
  text[subject_text_size] = '\0';
  return tamb_uuid_parse(text, subject) == 0;
}

}  // namespace tamb::store
