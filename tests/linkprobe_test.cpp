// SPDX-License-Identifier: MIT
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

extern char **environ;

namespace {

const std::string kNullLine = "createLibContext() returned null pointer.\n";
const std::string kContextLine = "createLibContext() found and returned non-null pointer.\n";
const std::string kExceptionLine = "Exception calling createLibContext()\n";

// Arguments a packager or a script might pass by habit; the probe reads none of them.
const std::vector<std::string> kStrayArguments = {"--help", "-v", "", "null", "extra argument"};

struct ProbeRun {
  std::string out;
  std::string err;
  int wait_status = 0;
};

// Runs the probe with the libfaust found in library_dir (the system's when empty) and collects
// both streams separately. Any LD_LIBRARY_PATH of our own environment is dropped so that the
// library the probe loads is exactly the one asked for.
ProbeRun RunProbe(const std::string &library_dir, const std::vector<std::string> &arguments = {}) {
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0) environment.emplace_back(*entry);
  }
  if (!library_dir.empty()) environment.push_back("LD_LIBRARY_PATH=" + library_dir);

  std::vector<std::string> argv_storage = {LINKPROBE_PATH};
  argv_storage.insert(argv_storage.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (auto &argument : argv_storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (auto &entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  ProbeRun run;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  pid_t pid;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "posix_spawn " << argv[0] << ": " << std::strerror(spawned);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return run;
  }

  // Drain both pipes together: waiting on one while the child fills the other would hang.
  std::array<pollfd, 2> fds = {pollfd{out_pipe[0], POLLIN, 0}, pollfd{err_pipe[0], POLLIN, 0}};
  std::array<std::string *, 2> sinks = {&run.out, &run.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (const auto &fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  while (waitpid(pid, &run.wait_status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

// Checks one run against the outcome: the exact line on one stream, nothing on the other, and
// the exit status.
void ExpectReport(const ProbeRun &run, const std::string &line, bool on_stdout, int status) {
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << "wait status " << run.wait_status;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), status);
  EXPECT_EQ(on_stdout ? run.out : run.err, line);
  EXPECT_EQ(on_stdout ? run.err : run.out, "");
}

TEST(LinkProbe, NullContextIsReportedOnStdoutWithStatusZero) {
  ExpectReport(RunProbe(LINKPROBE_STANDIN_NULL_DIR), kNullLine, true, 0);
  ExpectReport(RunProbe(LINKPROBE_STANDIN_NULL_DIR, kStrayArguments), kNullLine, true, 0);
}

TEST(LinkProbe, NonNullContextIsReportedOnStdoutWithStatusZero) {
  ExpectReport(RunProbe(LINKPROBE_STANDIN_CONTEXT_DIR), kContextLine, true, 0);
  ExpectReport(RunProbe(LINKPROBE_STANDIN_CONTEXT_DIR, kStrayArguments), kContextLine, true, 0);
}

TEST(LinkProbe, ExceptionOfAnyTypeIsReportedOnStderrWithStatusOne) {
  for (const char *dir :
       {LINKPROBE_STANDIN_THROWS_INT_DIR, LINKPROBE_STANDIN_THROWS_EXCEPTION_DIR}) {
    SCOPED_TRACE(dir);
    ExpectReport(RunProbe(dir), kExceptionLine, false, 1);
    ExpectReport(RunProbe(dir, kStrayArguments), kExceptionLine, false, 1);
  }
}

// Every symbol is bound at start-up, so a libfaust without the entry is refused by the loader
// before main: no report line at all, and the loader's failure status, never the probe's own.
TEST(LinkProbe, LibraryWithoutEntryFailsBeforeAnyReport) {
  ProbeRun run = RunProbe(LINKPROBE_STANDIN_NO_ENTRY_DIR);
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << "wait status " << run.wait_status;
  EXPECT_NE(WEXITSTATUS(run.wait_status), 0);
  EXPECT_NE(WEXITSTATUS(run.wait_status), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("createLibContext"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Exception"), std::string::npos) << run.err;
}

// Which of the two lines the installed libfaust gives is its own affair; that it links, returns
// and leaves exactly one of them is the probe's.
TEST(LinkProbe, InstalledLibfaustIsReportedOnStdoutWithStatusZero) {
  ProbeRun run = RunProbe("");
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << "wait status " << run.wait_status;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0) << run.err;
  EXPECT_TRUE(run.out == kNullLine || run.out == kContextLine) << run.out;
  EXPECT_EQ(run.err, "");
  RecordProperty("report", run.out);
}

// What the dynamic section and program headers say about a binary.
struct ElfFacts {
  uint16_t type = ET_NONE;
  bool has_interpreter = false;
  bool pie_flag = false;
  std::vector<std::string> needed;
};

// Reads the facts from the file's bytes; returns an error text, empty on success. Only the
// host's own ELF class is read: the probe is built by the same toolchain as this test.
std::string ReadElfFacts(const std::vector<unsigned char> &image, ElfFacts *facts) {
  ElfW(Ehdr) header;
  if (image.size() < sizeof header) return "shorter than an ELF header";
  std::memcpy(&header, image.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return "no ELF magic";
  if (header.e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32)) {
    return "ELF class differs from the host's";
  }
  facts->type = header.e_type;
  if (header.e_phentsize != sizeof(ElfW(Phdr)) ||
      header.e_phoff + header.e_phnum * sizeof(ElfW(Phdr)) > image.size()) {
    return "program headers out of bounds";
  }

  std::vector<ElfW(Phdr)> loads;
  std::optional<ElfW(Phdr)> dynamic;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    std::memcpy(&segment, image.data() + header.e_phoff + i * sizeof segment, sizeof segment);
    if (segment.p_type == PT_LOAD) loads.push_back(segment);
    if (segment.p_type == PT_INTERP) facts->has_interpreter = true;
    if (segment.p_type == PT_DYNAMIC) dynamic = segment;
  }
  if (!dynamic) return "no dynamic segment";
  if (dynamic->p_offset + dynamic->p_filesz > image.size()) return "dynamic segment out of bounds";

  std::vector<ElfW(Xword)> needed_offsets;
  std::optional<ElfW(Addr)> strtab;
  ElfW(Xword) strsz = 0;
  for (size_t at = 0; at + sizeof(ElfW(Dyn)) <= dynamic->p_filesz; at += sizeof(ElfW(Dyn))) {
    ElfW(Dyn) entry;
    std::memcpy(&entry, image.data() + dynamic->p_offset + at, sizeof entry);
    if (entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_NEEDED) needed_offsets.push_back(entry.d_un.d_val);
    if (entry.d_tag == DT_STRTAB) strtab = entry.d_un.d_ptr;
    if (entry.d_tag == DT_STRSZ) strsz = entry.d_un.d_val;
    if (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_PIE) != 0) facts->pie_flag = true;
  }
  if (!strtab) return "no dynamic string table";

  std::optional<size_t> strtab_offset;
  for (const auto &load : loads) {
    if (*strtab >= load.p_vaddr && *strtab + strsz <= load.p_vaddr + load.p_filesz) {
      strtab_offset = *strtab - load.p_vaddr + load.p_offset;
    }
  }
  if (!strtab_offset || *strtab_offset + strsz > image.size()) {
    return "dynamic string table outside the file";
  }
  for (auto offset : needed_offsets) {
    if (offset >= strsz) return "DT_NEEDED name outside the string table";
    const char *name = reinterpret_cast<const char *>(image.data() + *strtab_offset + offset);
    facts->needed.emplace_back(name, strnlen(name, strsz - offset));
  }
  return "";
}

ElfFacts ProbeElfFacts() {
  std::ifstream file(LINKPROBE_PATH, std::ios::binary);
  std::vector<unsigned char> image((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  ElfFacts facts;
  std::string error = ReadElfFacts(image, &facts);
  EXPECT_EQ(error, "") << LINKPROBE_PATH;
  return facts;
}

// ET_DYN alone would also fit a shared library; an interpreter and the PIE flag make it a program.
TEST(LinkProbeBinary, IsPositionIndependentExecutable) {
  ElfFacts facts = ProbeElfFacts();
  EXPECT_EQ(facts.type, ET_DYN);
  EXPECT_TRUE(facts.has_interpreter);
  EXPECT_TRUE(facts.pie_flag);
}

TEST(LinkProbeBinary, NeedsLibfaustAndTheCxxRuntimeOnly) {
  ElfFacts facts = ProbeElfFacts();
  const std::vector<std::string> runtime = {"libfaust.so.2", "libstdc++.so.6", "libm.so.6",
                                            "libgcc_s.so.1", "libc.so.6"};
  auto allowed = [&runtime](const std::string &name) {
#ifdef LINKPROBE_SANITIZED
    if (name.starts_with("libasan.so.") || name.starts_with("libubsan.so.")) return true;
#endif
    return std::find(runtime.begin(), runtime.end(), name) != runtime.end();
  };
  EXPECT_NE(std::find(facts.needed.begin(), facts.needed.end(), "libfaust.so.2"),
            facts.needed.end());
  for (const auto &name : facts.needed) {
    EXPECT_TRUE(allowed(name)) << "unexpected DT_NEEDED " << name;
  }
}

}  // namespace
