// SPDX-License-Identifier: MIT
// Identifier text from requests and stored keys: tamb_uuid_parse over arbitrary bytes.
#include <tamb/uuid.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The parser reads C strings: an exactly-sized copy with its NUL, so that AddressSanitizer
  // sees a read past it.
  std::vector<char> text(size + 1);
  if (size != 0) memcpy(text.data(), data, size);
  text[size] = '\0';

  const tamb_uuid_t untouched = 0x5a5a5a5a5a5a5a5au;
  tamb_uuid_t parsed = untouched;
  const int result = tamb_uuid_parse(text.data(), &parsed);
  if (result != 0 && result != -1) abort();
  if (result == 0) {
    // A success is an identifier with a kind, and its text form reads back as the same number.
    if (parsed >> 32 == 0) abort();
    char buffer[TAMB_UUID_STRING_SIZE];
    tamb_uuid_unparse(parsed, buffer);
    tamb_uuid_t again = 0;
    if (tamb_uuid_parse(buffer, &again) != 0 || again != parsed) abort();
  }
  if (tamb_uuid_parse(text.data(), nullptr) != -1) abort();
  return 0;
}
