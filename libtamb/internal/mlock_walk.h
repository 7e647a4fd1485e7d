// SPDX-License-Identifier: MIT
// The walk over a memory map that decides which library mappings to unlock.
//
// It lives in this header, inline and free of state, so that cleanup_mlock and the tests run
// the same code: the tests feed it crafted map text and record the unlocks instead of
// performing them. Inside libtamb the functions are hidden like every other internal.
#ifndef TAMB_MLOCK_WALK_H
#define TAMB_MLOCK_WALK_H

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outside.h"

namespace tamb::mlock_walk {

// Prefixes of the paths that count as libraries at all.
inline constexpr const char *library_roots[] = {
    "/lib", "/usr/lib", "/usr/local/lib", "/usr/X11R6/lib", "/opt/lib", "/opt/local/lib", nullptr,
};

// Fragments that ask for unlocking wherever they appear in a library's path.
inline constexpr const char *blacklist[] = {"/libgtk", "/libqt", "/libfltk", "/wine/", nullptr};

// Fragments that keep a mapping locked whatever else holds. The C library's code runs in the
// real-time thread; it is named libc-<version>.so on older systems and libc.so.<n> on newer
// ones, and both names stay locked.
inline constexpr const char *whitelist[] = {"/libc-", "/libvorplex", "/libc.so", nullptr};

// A mapping above this many bytes asks for unlocking; one of exactly this size does not.
inline constexpr size_t large_mapping = 1048576;

// A mapping's path is kept up to the longest path the library handles anywhere.
inline constexpr size_t path_max = TAMB_PATH_MAX;

// Called for every mapping that is to be unlocked, after it was reported.
using Unlock = void (*)(void *context, uintptr_t start, size_t length);

struct Mapping {
  uintptr_t start;
  uintptr_t end;
  uint64_t inode;
  char path[path_max + 1];
};

inline bool starts_with_any(const char *text, const char *const *prefixes) {
  for (; *prefixes != nullptr; ++prefixes) {
    if (strncmp(text, *prefixes, strlen(*prefixes)) == 0) return true;
  }
  return false;
}

inline bool contains_any(const char *text, const char *const *fragments) {
  for (; *fragments != nullptr; ++fragments) {
    if (strstr(text, *fragments) != nullptr) return true;
  }
  return false;
}

// Reads the fields of one map line. False when the line does not start with the address
// range, permissions, offset, device and inode. The kernel writes the device numbers in
// hexadecimal ("fd:01" on device-mapper disks) and the inode as an unsigned 64-bit number.
inline bool parse_line(const char *line, Mapping *out) {
  size_t start;
  size_t end;
  int consumed = 0;
  // The kernel writes these numbers; a line it did not write fails the count.
  // NOLINTNEXTLINE(bugprone-unchecked-string-to-number-conversion)
  if (sscanf(line, "%zx-%zx %*s %*x %*x:%*x %" SCNu64 "%n", &start, &end, &out->inode, &consumed) !=
      3) {
    return false;
  }
  out->start = start;
  out->end = end;
  const char *path = line + consumed;
  path += strspn(path, " \t");
  size_t length = strcspn(path, "\n");
  if (length > path_max) length = path_max;
  memcpy(out->path, path, length);
  out->path[length] = '\0';
  return true;
}

inline bool wants_unlock(const Mapping &mapping) {
  if (!starts_with_any(mapping.path, library_roots)) return false;
  bool unlock =
      contains_any(mapping.path, blacklist) || mapping.end - mapping.start > large_mapping;
  if (contains_any(mapping.path, whitelist)) return false;
  return unlock;
}

// Judges every line on its own, so a library whose mappings span several lines is unlocked
// line by line. Stops at the first line it cannot read; what was unlocked stays unlocked.
inline void walk(FILE *maps, Unlock unlock, void *context) {
  char *line = nullptr;
  size_t capacity = 0;
  Mapping mapping;
  while (getline(&line, &capacity, maps) != -1) {
    if (!parse_line(line, &mapping)) break;
    // Anonymous memory, the heap and the stack have no file behind them.
    if (mapping.inode == 0) continue;
    if (!wants_unlock(mapping)) continue;
    TAMB_INFO("unlocking %s", mapping.path);
    unlock(context, mapping.start, mapping.end - mapping.start);
  }
  free(line);
}

}  // namespace tamb::mlock_walk

#endif
