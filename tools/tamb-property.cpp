// SPDX-License-Identifier: MIT
// tamb-property: read and change the metadata properties of the default server by hand.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hooks.h"
#include "tamb/metadata.h"

namespace {

constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

const char usage_text[] =
    "Usage: tamb-property [--root DIR] COMMAND [ARGUMENT...]\n"
    "\n"
    "Reads and changes the metadata properties that clients attach to clients, ports and\n"
    "other subjects of the default server. They live in metadata.db in the server directory\n"
    "and are shared by every process of that server.\n"
    "\n"
    "Commands:\n"
    "  set SUBJECT KEY VALUE [TYPE]  store VALUE, and TYPE if given, under KEY of SUBJECT\n"
    "  get SUBJECT KEY               print the value, and its type on a second line\n"
    "  list SUBJECT                  print every property of SUBJECT\n"
    "  list-all                      print every property of every subject\n"
    "  remove SUBJECT KEY            remove one property\n"
    "  remove-subject SUBJECT        remove every property of SUBJECT\n"
    "  remove-all                    remove every property of every subject\n"
    "\n"
    "SUBJECT is the decimal id of a client or port (the first client is 8589934593, the\n"
    "port with id 0 is 4294967297). KEY, VALUE and TYPE are text; KEY and VALUE must not be\n"
    "empty. A well-known key may be given by its short name:\n"
    "  :pretty-name :hardware :connected :port-group :icon-small :icon-large\n"
    "A value of one or two characters stored without a type counts as absent for get and\n"
    "list; list-all shows it.\n"
    "\n"
    "Options:\n"
    "  --root DIR  the directory that holds the servers' directories\n"
    "              (default /tmp/tamb-<uid>; the default server's is DIR/default)\n"
    "  -h, --help  show this text and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the property is absent or the store refuses,\n"
    "2 when the command line is wrong.\n";

int usage_error(const char *fmt, const char *what) {
  fprintf(stderr, "tamb-property: ");
  fprintf(stderr, fmt, what);
  fprintf(stderr, "\nTry 'tamb-property --help'.\n");
  return exit_usage;
}

bool parse_subject(const char *text, tamb_uuid_t *subject) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *subject = value;
  return true;
}

const char *resolve_key(const char *key) {
  const std::map<std::string, const char *> well_known = {
      {":pretty-name", TAMB_METADATA_PRETTY_NAME}, {":hardware", TAMB_METADATA_HARDWARE},
      {":connected", TAMB_METADATA_CONNECTED},     {":port-group", TAMB_METADATA_PORT_GROUP},
      {":icon-small", TAMB_METADATA_ICON_SMALL},   {":icon-large", TAMB_METADATA_ICON_LARGE}};
  auto found = well_known.find(key);
  return found != well_known.end() ? found->second : key;
}

// Cursor order is the hash order of the file; people read sorted lists more easily.
void print_properties(const tamb_description_t &desc, const char *indent) {
  std::map<std::string, const tamb_property_t *> sorted;
  for (uint32_t i = 0; i < desc.property_count; ++i) {
    sorted[desc.properties[i].key] = &desc.properties[i];
  }
  for (const auto &[key, property] : sorted) {
    printf("%s%s = %s", indent, key.c_str(), property->value);
    if (property->type != nullptr) printf("  (type %s)", property->type);
    printf("\n");
  }
}

int run_get(tamb_uuid_t subject, const char *key) {
  char *value = nullptr, *type = nullptr;
  if (tamb_get_property(subject, key, &value, &type) != 0) {
    fprintf(stderr, "tamb-property: no property %s for subject %llu\n", key,
            static_cast<unsigned long long>(subject));
    return exit_failed;
  }
  printf("%s\n", value);
  if (type != nullptr) printf("type: %s\n", type);
  free(value);
  free(type);
  return 0;
}

int run_list(tamb_uuid_t subject) {
  tamb_description_t desc;
  int count = tamb_get_properties(subject, &desc);
  if (count < 0) return exit_failed;
  print_properties(desc, "");
  tamb_free_description(&desc, 0);
  return 0;
}

int run_list_all() {
  tamb_description_t *all = nullptr;
  int count = tamb_get_all_properties(&all);
  if (count < 0) return exit_failed;
  std::map<tamb_uuid_t, const tamb_description_t *> sorted;
  for (int i = 0; i < count; ++i) sorted[all[i].subject] = &all[i];
  for (const auto &[subject, desc] : sorted) {
    printf("%llu\n", static_cast<unsigned long long>(subject));
    print_properties(*desc, "  ");
  }
  for (int i = 0; i < count; ++i) tamb_free_description(&all[i], 0);
  free(all);
  return 0;
}

int run_remove_subject(tamb_uuid_t subject) {
  int removed = tamb_remove_properties(nullptr, subject);
  if (removed < 0) return exit_failed;
  printf("removed %d propert%s\n", removed, removed == 1 ? "y" : "ies");
  return 0;
}

// The argument counts a command takes, after its name: at least min, at most max.
struct Command {
  const char *name;
  size_t min;
  size_t max;
};

const Command commands[] = {{"set", 3, 4},       {"get", 2, 2},    {"list", 1, 1},
                            {"list-all", 0, 0},  {"remove", 2, 2}, {"remove-subject", 1, 1},
                            {"remove-all", 0, 0}};

int run(const std::string &name, const std::vector<const char *> &args) {
  tamb_uuid_t subject = 0;
  if (!args.empty() && name != "list-all" && name != "remove-all" &&
      !parse_subject(args[0], &subject)) {
    return usage_error("SUBJECT must be a decimal id, not '%s'", args[0]);
  }
  const char *key = args.size() > 1 ? resolve_key(args[1]) : nullptr;
  if (name == "set") {
    const char *type = args.size() > 3 ? args[3] : nullptr;
    return tamb_set_property(nullptr, subject, key, args[2], type) == 0 ? 0 : exit_failed;
  }
  if (name == "get") return run_get(subject, key);
  if (name == "list") return run_list(subject);
  if (name == "list-all") return run_list_all();
  if (name == "remove") return tamb_remove_property(nullptr, subject, key) == 0 ? 0 : exit_failed;
  if (name == "remove-subject") return run_remove_subject(subject);
  return tamb_remove_all_properties(nullptr) == 0 ? 0 : exit_failed;
}

}  // namespace

int main(int argc, char **argv) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      fputs(usage_text, stdout);
      return 0;
    }
    if (option == "--root" && i + 1 < argc) {
      hooks::server_dir_set_root(argv[++i]);
    } else if (option == "--root") {
      return usage_error("%s needs a directory", "--root");
    } else {
      return usage_error("unknown option '%s'", argv[i]);
    }
  }
  if (i == argc) return usage_error("%s", "no command given");

  std::string name = argv[i++];
  std::vector<const char *> args(argv + i, argv + argc);
  for (const Command &command : commands) {
    if (name != command.name) continue;
    if (args.size() < command.min || args.size() > command.max) {
      return usage_error("wrong number of arguments for '%s'", command.name);
    }
    return run(name, args);
  }
  return usage_error("unknown command '%s'", name.c_str());
}
