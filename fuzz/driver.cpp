// SPDX-License-Identifier: MIT
// A stand-in for libFuzzer's main(), so that the fuzz targets build and run with any compiler.
//
// It first replays every file of the directories it is given (the seed corpus and the saved
// regressions), then mutates those inputs at random for a bounded time or number of runs. The
// mutations are the blind ones (bit flips, byte changes, inserts, deletes, splices): there is no
// coverage feedback, but the seed corpus starts the search at inputs that already pass the
// targets' first checks. A fixed seed makes every run repeatable.
//
//   <target> [-seconds=N] [-runs=N] [-seed=N] [-max_len=N] [-crash_dir=DIR] DIR_OR_FILE...
//
// When an input makes the process die (a signal, or a sanitizer report), the input is written
// to <crash_dir>/crash-<run> first, so that it can be replayed and kept as a regression.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Present only in sanitizer builds: the sanitizers end the process through _exit, past any
// signal handler, and call this first.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

using Input = std::vector<uint8_t>;

// The input being run, for the crash handlers; plain pointers, so they are safe to read from a
// signal handler.
const uint8_t *current_data = nullptr;
size_t current_size = 0;
uint64_t current_run = 0;
char crash_dir[1024] = ".";

void save_current_input() {
  static volatile sig_atomic_t saved = 0;
  if (saved || current_data == nullptr) return;
  saved = 1;
  char path[1100];
  snprintf(path, sizeof path, "%s/crash-%llu", crash_dir,
           static_cast<unsigned long long>(current_run));
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < current_size) {
    ssize_t n = write(fd, current_data + done, current_size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  const char note[] = "fuzz driver: the failing input was saved as ";
  [[maybe_unused]] ssize_t ignored = write(2, note, sizeof note - 1);
  ignored = write(2, path, strlen(path));
  ignored = write(2, "\n", 1);
}

void on_fatal_signal(int signal_number) {
  save_current_input();
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

bool read_file(const std::string &path, Input *out) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out->clear();
  uint8_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    out->insert(out->end(), buffer, buffer + n);
  fclose(file);
  return true;
}

// Files of a directory in name order, so that replays are repeatable; a plain file stands for
// itself. A directory that does not exist holds nothing (a target may have no regressions yet).
std::vector<std::string> list_inputs(const std::string &path) {
  std::vector<std::string> files;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return files;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return files;
  }
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return files;
  while (dirent *entry = readdir(dir)) {
    std::string file = path + "/" + entry->d_name;
    if (entry->d_name[0] != '.' && stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.push_back(file);
    }
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

// xorshift64*: small, fast and the same everywhere, so a seed names one sequence of inputs.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed != 0 ? seed : 0x9e3779b97f4a7c15u) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545f4914f6cdd1du;
  }
  // Uniform enough below n (n > 0).
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }

 private:
  uint64_t state_;
};

// Bytes that sit on the edges of the fields the targets read: lengths, counts and offsets.
constexpr uint8_t interesting[] = {0x00, 0x01, 0x02, 0x04, 0x07, 0x08, 0x10, 0x20,
                                   0x3f, 0x40, 0x7f, 0x80, 0xfe, 0xff, '\n', ' '};

void mutate(Input *input, const std::vector<Input> &pool, size_t max_len, Random *random) {
  const size_t steps = 1 + random->below(4);
  for (size_t step = 0; step < steps; ++step) {
    Input &in = *input;
    switch (random->below(7)) {
      case 0:  // flip one bit
        if (!in.empty())
          in[random->below(in.size())] ^= static_cast<uint8_t>(1u << random->below(8));
        break;
      case 1:  // a random byte
        if (!in.empty()) in[random->below(in.size())] = static_cast<uint8_t>(random->next());
        break;
      case 2:  // an edge value
        if (!in.empty()) {
          in[random->below(in.size())] = interesting[random->below(sizeof interesting)];
        }
        break;
      case 3:  // insert bytes
        if (in.size() < max_len) {
          size_t count = std::min<size_t>(1 + random->below(8), max_len - in.size());
          size_t at = random->below(in.size() + 1);
          in.insert(in.begin() + static_cast<ptrdiff_t>(at), count,
                    static_cast<uint8_t>(random->next()));
        }
        break;
      case 4:  // delete bytes
        if (!in.empty()) {
          size_t at = random->below(in.size());
          size_t count = std::min<size_t>(1 + random->below(8), in.size() - at);
          in.erase(in.begin() + static_cast<ptrdiff_t>(at),
                   in.begin() + static_cast<ptrdiff_t>(at + count));
        }
        break;
      case 5: {  // overwrite a little-endian 32-bit word with an edge value
        if (in.size() >= 4) {
          static constexpr uint32_t words[] = {0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 2048, 20};
          uint32_t word = words[random->below(sizeof words / sizeof words[0])];
          size_t at = random->below(in.size() - 3);
          for (int i = 0; i < 4; ++i) in[at + i] = static_cast<uint8_t>(word >> (8 * i));
        }
        break;
      }
      default: {  // splice: a run of another input over this one
        const Input &other = pool[random->below(pool.size())];
        if (other.empty() || in.empty()) break;
        size_t from = random->below(other.size());
        size_t to = random->below(in.size());
        size_t count = std::min({other.size() - from, in.size() - to, 1 + random->below(64)});
        std::copy_n(other.begin() + static_cast<ptrdiff_t>(from), count,
                    in.begin() + static_cast<ptrdiff_t>(to));
        break;
      }
    }
  }
  if (input->size() > max_len) input->resize(max_len);
}

// Runs one input from its own exactly-sized heap block, so that reads past its end are caught.
void run(const Input &input) {
  std::vector<uint8_t> copy(input);
  current_data = copy.data();
  current_size = copy.size();
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  current_data = nullptr;
  ++current_run;
}

bool flag(const char *arg, const char *name, unsigned long long *value) {
  size_t n = strlen(name);
  if (strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = strtoull(arg + n + 1, nullptr, 10);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  unsigned long long seconds = 0, runs = 0, seed = 1, max_len = 16384;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (flag(arg, "-seconds", &seconds) || flag(arg, "-runs", &runs) || flag(arg, "-seed", &seed) ||
        flag(arg, "-max_len", &max_len)) {
      continue;
    }
    if (strncmp(arg, "-crash_dir=", 11) == 0) {
      snprintf(crash_dir, sizeof crash_dir, "%s", arg + 11);
    } else if (arg[0] == '-') {
      fprintf(stderr, "unknown option %s\n", arg);
      return 2;
    } else {
      paths.push_back(arg);
    }
  }

  for (int signal_number : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
    ::signal(signal_number, on_fatal_signal);
  }
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(save_current_input);

  std::vector<Input> pool;
  for (const std::string &path : paths) {
    for (const std::string &file : list_inputs(path)) {
      Input input;
      if (!read_file(file, &input)) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return 2;
      }
      run(input);
      pool.push_back(std::move(input));
    }
  }
  const size_t replayed = pool.size();
  if (pool.empty()) pool.emplace_back();

  // The pool grows with some of the mutants, so that mutations pile up over several rounds;
  // its size is capped so that the seeds keep being chosen.
  constexpr size_t pool_limit = 512;
  Random random(seed);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  uint64_t mutated = 0;
  while ((runs == 0 || mutated < runs) && (seconds == 0 ? runs != 0 : true)) {
    if (seconds != 0 && (mutated & 15) == 0 && std::chrono::steady_clock::now() >= deadline) break;
    Input input = pool[random.below(pool.size())];
    mutate(&input, pool, max_len, &random);
    run(input);
    ++mutated;
    if (random.below(8) == 0) {
      if (pool.size() < pool_limit) {
        pool.push_back(std::move(input));
      } else if (replayed < pool_limit) {
        pool[replayed + random.below(pool_limit - replayed)] = std::move(input);
      }
    }
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("replayed %zu inputs, ran %llu mutated inputs in %.1f s (seed %llu)\n", replayed,
         static_cast<unsigned long long>(mutated), elapsed, seed);
  return 0;
}
