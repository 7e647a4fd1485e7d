// SPDX-License-Identifier: MIT
// Healing a damaged metadata store, step by step, and reading Berkeley DB's reports to tell
// damage from a lack of resources. Nothing is deleted: what a healing replaces is set aside
// beside the database under a name that says when ("<prefix>-<UTC time>").
#include "metadata_heal.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "check.h"
#include "store_format.h"

namespace tamb::store {

namespace {

// Tries at a free name for what is set aside within one second.
constexpr int aside_names = 100;

// The page sizes Berkeley DB gives a file, and the one it takes when the file system names
// none that fits.
constexpr uint32_t page_size_min = 512;
constexpr uint32_t page_size_max = 16384;
constexpr uint32_t page_size_fallback = 4096;

// The system errors that say the machine lacks something (room, memory, permission) rather
// than that the files are damaged.
constexpr int lacking[] = {ENOSPC, EDQUOT, ENOMEM, EIO, EACCES, EPERM, EROFS, EMFILE, ENFILE};

// Set while the store is healed: what Berkeley DB says of the damage then is summed up by the
// healing's own report.
thread_local bool quiet = false;

// Set when Berkeley DB reported, during the calls of this thread since it was cleared, a system
// error that says the machine lacks something. A failure then is never healed.
thread_local bool lacked_resources = false;

// The verifier prints the pages it cannot make sense of as messages, to standard output.
void messages_ignore(const DB_ENV *, const char *) {}

// The name "<base>-<UTC time>" for something set aside, with a count after it when that name
// is taken within the same second; made by make(path), which fails with EEXIST for a taken
// name. 0 or make's error.
template <typename Make>
int aside_name(const StorePaths &paths, const char *base, char path[aside_path_size], Make make) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  int ret = EEXIST;
  for (int n = 0; n < aside_names && ret == EEXIST; ++n) {
    if (n == 0) {
      snprintf(path, aside_path_size, "%s/%s-%s", paths.dir, base, stamp);
    } else {
      snprintf(path, aside_path_size, "%s/%s-%s-%d", paths.dir, base, stamp, n);
    }
    ret = make(path) == 0 ? 0 : errno;
  }
  return ret;
}

// The environment's files: its regions "__db.*" and its logs "log.<digits>".
bool env_file(const char *name) {
  static constexpr char region[] = "__db.";
  static constexpr char log[] = "log.";
  if (strncmp(name, region, sizeof region - 1) == 0) return true;
  if (strncmp(name, log, sizeof log - 1) != 0) return false;
  size_t digits = strspn(name + sizeof log - 1, "0123456789");
  return digits > 0 && name[sizeof log - 1 + digits] == '\0';
}

// The page size Berkeley DB gives a new file here: the file system's block size, within its
// bounds. The verifier falls back on it when the file's first page no longer says.
uint32_t page_size_guess(const StorePaths &paths) {
  struct stat st;
  uint32_t size =
      stat(paths.db_path, &st) == 0 ? static_cast<uint32_t>(st.st_blksize) : page_size_fallback;
  if (size < page_size_min) size = page_size_min;
  if (size > page_size_max) size = page_size_max;
  return size & (size - 1) ? page_size_fallback : size;
}

// Loads what the verifier's salvage mode writes, in db_dump's format, into a database: header
// lines, then one line per item, a blank and the item's bytes in hexadecimal, keys and data
// taking turns. Turns are not to be trusted in a damaged file: the salvager writes "UNKNOWN" for
// an item it could not read, leaves out some it finds broken, and ends with values whose keys
// are lost. So only properties are taken, each a stored key followed by a stored record, which
// cannot be mistaken for each other: a key holds the zero bytes that fill its subject text, a
// record never two zero bytes in a row. Whatever else the file held stays in the damaged file.
class SalvageLoader {
 public:
  explicit SalvageLoader(DB *target) : target_(target) {}
  ~SalvageLoader() {
    free(line_);
    free(key_);
  }
  SalvageLoader(const SalvageLoader &) = delete;
  SalvageLoader &operator=(const SalvageLoader &) = delete;

  // As a cookie writer of fopencookie(): everything is taken, whatever goes wrong.
  static ssize_t write(void *cookie, const char *bytes, size_t size) {
    auto *loader = static_cast<SalvageLoader *>(cookie);
    for (size_t i = 0; i < size; ++i) loader->take(bytes[i]);
    return static_cast<ssize_t>(size);
  }

  uint32_t properties() const { return properties_; }
  int error() const { return error_; }

 private:
  static constexpr size_t initial_line_bytes = 256;

  void take(char c) {
    if (c == '\n') {
      line_end();
      line_length_ = 0;
      return;
    }
    if (line_length_ == line_capacity_) {
      size_t grown = line_capacity_ == 0 ? initial_line_bytes : line_capacity_ * 2;
      auto *bigger = static_cast<char *>(realloc(line_, grown));
      if (bigger == nullptr) {
        error_ = ENOMEM;
        return;
      }
      line_ = bigger;
      line_capacity_ = grown;
    }
    line_[line_length_++] = c;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  // Decodes the item on the line in place: its length, or -1 when the line is no item.
  ssize_t item_decode() {
    if (line_length_ == 0 || line_[0] != ' ' || line_length_ % 2 == 0) return -1;
    size_t n = (line_length_ - 1) / 2;
    for (size_t i = 0; i < n; ++i) {
      int high = hex_digit(line_[1 + 2 * i]), low = hex_digit(line_[2 + 2 * i]);
      if (high < 0 || low < 0) return -1;
      line_[i] = static_cast<char>(high << 4 | low);
    }
    return static_cast<ssize_t>(n);
  }

  // The subject's decimal text, zero bytes up to its full size, a key and its NUL.
  static bool is_stored_key(const char *item, size_t size) {
    if (size <= subject_text_size + 1 || item[size - 1] != '\0') return false;
    size_t digits = 0;
    while (digits < subject_text_size && item[digits] >= '0' && item[digits] <= '9') ++digits;
    if (digits == 0 || digits >= subject_text_size) return false;
    for (size_t i = digits; i < subject_text_size; ++i) {
      if (item[i] != '\0') return false;
    }
    return true;
  }

  // A value and its NUL, then perhaps a type and its NUL; neither string is empty.
  static bool is_stored_record(const char *item, size_t size) {
    if (size < 2 || item[0] == '\0' || item[size - 1] != '\0') return false;
    for (size_t i = 1; i < size; ++i) {
      if (item[i] == '\0' && item[i - 1] == '\0') return false;
    }
    return true;
  }

  void line_end() {
    ssize_t size = item_decode();
    if (size < 0) {
      have_key_ = false;
      return;
    }
    auto item_size = static_cast<size_t>(size);
    if (is_stored_key(line_, item_size)) {
      // The line's buffer becomes the key's; the next line goes into the old key's.
      char *swap = key_;
      size_t swap_capacity = key_capacity_;
      key_ = line_;
      key_capacity_ = line_capacity_;
      key_size_ = item_size;
      line_ = swap;
      line_capacity_ = swap_capacity;
      have_key_ = true;
      return;
    }
    bool pair = have_key_ && is_stored_record(line_, item_size);
    have_key_ = false;
    if (!pair) return;
    DBT key, data;
    memset(&key, 0, sizeof key);
    memset(&data, 0, sizeof data);
    key.data = key_;
    key.size = static_cast<uint32_t>(key_size_);
    data.data = line_;
    data.size = static_cast<uint32_t>(size);
    // A key that turns up twice keeps its first record.
    int ret = target_->put(target_, nullptr, &key, &data, DB_NOOVERWRITE);
    if (ret == 0) {
      ++properties_;
    } else if (ret != DB_KEYEXIST) {
      error_ = ret;
    }
  }

  DB *target_;
  char *line_ = nullptr;
  size_t line_length_ = 0, line_capacity_ = 0;
  char *key_ = nullptr;
  size_t key_size_ = 0, key_capacity_ = 0;
  bool have_key_ = false;
  uint32_t properties_ = 0;
  int error_ = 0;
};

// Reads what the verifier can salvage from the file into a new file at path, which is built
// beside it without any environment. 0 or the error, with the number of properties saved.
int file_salvage_into(const StorePaths &paths, const char *path, uint32_t *properties) {
  unlink(path);  // left by a healing that was cut short
  DB *target = nullptr;
  int ret = db_create(&target, nullptr, 0);
  if (ret != 0) return ret;
  target->set_errcall(target, errors_note);
  ret = target->open(target, nullptr, path, nullptr, DB_HASH, DB_CREATE | DB_EXCL, db_mode);
  if (ret != 0) {
    target->close(target, 0);
    return ret;
  }
  SalvageLoader loader(target);
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = SalvageLoader::write;
  FILE *out = fopencookie(&loader, "w", io);
  DB *file = nullptr;
  ret = out != nullptr ? db_create(&file, nullptr, 0) : ENOMEM;
  if (ret == 0) {
    file->set_errcall(file, errors_ignore);
    file->set_msgcall(file, messages_ignore);
    file->set_pagesize(file, page_size_guess(paths));
    // The salvager finds the file damaged, as expected; only a lack of resources stops it.
    int salvaged = file->verify(file, paths.db_path, nullptr, out, DB_SALVAGE);
    if (!damage_possible(salvaged)) ret = salvaged;
  }
  if (out != nullptr) fclose(out);
  if (ret == 0) ret = loader.error();
  int closed = target->close(target, 0);
  if (ret == 0) ret = closed;
  if (ret != 0) {
    unlink(path);
    return ret;
  }
  *properties = loader.properties();
  return 0;
}

}  // namespace

void errors_ignore(const DB_ENV *, const char *, const char *) {}

void errors_note(const DB_ENV *, const char *, const char *message) {
  for (int error : lacking) {
    if (strstr(message, strerror(error)) != nullptr) lacked_resources = true;
  }
  if (!quiet) fprintf(stderr, "%s\n", message);
}

void lacks_forget() { lacked_resources = false; }

bool resources_lacked() { return lacked_resources; }

void quiet_set(bool on_or_off) { quiet = on_or_off; }

bool damage_possible(int ret) {
  switch (ret) {
    case 0:
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case EIO:
    case EACCES:
    case EPERM:
    case EROFS:
    case EMFILE:
    case ENFILE:
    case EAGAIN:
    case EBUSY:
    case EINTR:
    case ENOTDIR:
    case EISDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EFBIG:
    case DB_LOCK_DEADLOCK:
    case DB_LOCK_NOTGRANTED:
      return false;
    default:
      return !lacked_resources;
  }
}

int file_verify(const StorePaths &paths) {
  DB *file = nullptr;
  int ret = db_create(&file, nullptr, 0);
  if (ret != 0) return ret;
  file->set_errcall(file, errors_ignore);
  file->set_msgcall(file, messages_ignore);
  // verify() releases the handle whatever it finds.
  return file->verify(file, paths.db_path, nullptr, nullptr, 0);
}

int env_set_aside(const StorePaths &paths, char folder[aside_path_size]) {
  folder[0] = '\0';
  DIR *dir = opendir(paths.dir);
  if (dir == nullptr) return errno;
  int ret = 0;
  while (dirent *entry = readdir(dir)) {
    if (!env_file(entry->d_name)) continue;
    if (folder[0] == '\0') {
      ret = aside_name(paths, env_damaged_prefix, folder,
                       [](const char *path) { return mkdir(path, S_IRWXU); });
      if (ret != 0) {
        folder[0] = '\0';
        break;
      }
    }
    char from[TAMB_PATH_MAX + NAME_MAX + 2], to[aside_path_size + NAME_MAX + 2];
    snprintf(from, sizeof from, "%s/%s", paths.dir, entry->d_name);
    snprintf(to, sizeof to, "%s/%s", folder, entry->d_name);
    if (rename(from, to) != 0) {
      ret = errno;
      break;
    }
  }
  closedir(dir);
  return ret;
}

// In an environment of this process's memory, without a log of its own.
int file_lsn_reset(const StorePaths &paths) {
  DB_ENV *env = nullptr;
  int ret = db_env_create(&env, 0);
  if (ret != 0) return ret;
  env->set_errcall(env, errors_note);
  ret = env->open(env, paths.dir, DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0);
  if (ret == 0) ret = env->lsn_reset(env, paths.db_path, 0);
  env->close(env, 0);
  return ret;
}

// The new file takes the database's name in one step, so that a healing cut short leaves
// either file in place.
int file_salvage(const StorePaths &paths, char damaged[aside_path_size], uint32_t *properties) {
  static constexpr char salvaged_suffix[] = ".salvaged";
  char salvaged[sizeof paths.db_path + sizeof salvaged_suffix];
  snprintf(salvaged, sizeof salvaged, "%s%s", paths.db_path, salvaged_suffix);
  int ret = file_salvage_into(paths, salvaged, properties);
  if (ret != 0) return ret;
  bool linked = true;
  const char *db_path = paths.db_path;
  ret = aside_name(paths, db_damaged_prefix, damaged,
                   [db_path](const char *path) { return link(db_path, path); });
  if (ret != 0 && ret != EEXIST) {
    // A file system without hard links: the damaged file moves first.
    linked = false;
    ret = aside_name(paths, db_damaged_prefix, damaged, [db_path](const char *path) {
      struct stat st;
      if (stat(path, &st) == 0) {
        errno = EEXIST;
        return -1;
      }
      return rename(db_path, path);
    });
  }
  if (ret == 0 && rename(salvaged, db_path) != 0) ret = errno;
  if (ret != 0) {
    if (!linked) rename(damaged, db_path);
    unlink(salvaged);
  }
  return ret;
}

}  // namespace tamb::store
