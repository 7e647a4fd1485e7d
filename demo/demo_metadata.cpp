// SPDX-License-Identifier: MIT
// Demo chapter: metadata properties on a client and its ports, and the notices another client
// hears of them.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "demo.h"
#include "kit.h"
#include "kit_store.h"
#include "tamb/tamb.h"

namespace {

const char *change_name(tamb_property_change_t change) {
  switch (change) {
    case TAMB_PROPERTY_CREATED:
      return "created";
    case TAMB_PROPERTY_CHANGED:
      return "changed";
    case TAMB_PROPERTY_DELETED:
      return "deleted";
  }
  return "?";
}

void hear(tamb_uuid_t subject, const char *key, tamb_property_change_t change, void *arg) {
  printf("      %s hears: %s, subject %lu, key %s\n", static_cast<const char *>(arg),
         change_name(change), static_cast<unsigned long>(subject),
         key != nullptr ? key : "(every key)");
}

void show_property(tamb_uuid_t subject, const char *key) {
  char *value = nullptr, *type = nullptr;
  if (tamb_get_property(subject, key, &value, &type) != 0) {
    printf("    %lu %s: absent\n", static_cast<unsigned long>(subject), key);
    return;
  }
  printf("    %lu %s = \"%s\"%s%s\n", static_cast<unsigned long>(subject), key, value,
         type != nullptr ? ", type " : "", type != nullptr ? type : "");
  free(value);
  free(type);
}

void list_all() {
  tamb_description_t *all = nullptr;
  int count = tamb_get_all_properties(&all);
  printf("    %d subject%s:\n", count, count == 1 ? "" : "s");
  for (int i = 0; i < count; ++i) {
    printf("      %lu:", static_cast<unsigned long>(all[i].subject));
    for (uint32_t p = 0; p < all[i].property_count; ++p) {
      printf(" %s=\"%s\"", all[i].properties[p].key + sizeof "http://tamb.audio" - 1,
             all[i].properties[p].value);
    }
    printf("\n");
    tamb_free_description(&all[i], 0);
  }
  free(all);
}

// Runs in a process of its own on a throw-away server directory, so that the demo leaves no
// database behind and its own process never holds the store open.
void walk_through(const std::string &root) {
  hooks::server_dir_set_root(root);
  kit::Server server;
  kit::metadata_relay_to(&server);
  kit::Client *synth = server.add_client("synth");
  kit::Client *patchbay = server.add_client("patchbay");
  tamb_client_t *writer = &synth->handle;
  tamb_set_property_change_callback(&patchbay->handle, hear, const_cast<char *>("patchbay"));

  const char *audio = TAMB_PORT_TYPE_AUDIO;
  tamb_port_t *out_left = tamb_port_register(writer, "out_l", audio, TAMB_PORT_IS_OUTPUT, 0);
  tamb_port_t *out_right = tamb_port_register(writer, "out_r", audio, TAMB_PORT_IS_OUTPUT, 0);
  if (out_left == nullptr || out_right == nullptr) {
    printf("  cannot register the synth's ports\n");
    return;
  }
  tamb_uuid_t client = synth->handle.control->uuid;
  tamb_uuid_t left = tamb_port_uuid(out_left), right = tamb_port_uuid(out_right);
  printf(
      "  synth (client %lu) names itself and its ports %s (%lu) and\n"
      "  %s (%lu); patchbay listens:\n",
      static_cast<unsigned long>(client), tamb_port_name(out_left),
      static_cast<unsigned long>(left), tamb_port_name(out_right),
      static_cast<unsigned long>(right));
  tamb_set_property(writer, client, TAMB_METADATA_PRETTY_NAME, "Little Synth", nullptr);
  tamb_set_property(writer, left, TAMB_METADATA_PRETTY_NAME, "Out left", nullptr);
  tamb_set_property(writer, right, TAMB_METADATA_PRETTY_NAME, "Out right", nullptr);
  tamb_set_property(writer, left, TAMB_METADATA_PORT_GROUP, "main out", "text/plain");
  tamb_set_property(writer, right, TAMB_METADATA_PORT_GROUP, "main out", "text/plain");

  printf("\n  read back:\n");
  show_property(client, TAMB_METADATA_PRETTY_NAME);
  show_property(left, TAMB_METADATA_PORT_GROUP);
  tamb_description_t desc;
  int count = tamb_get_properties(right, &desc);
  printf("    port %lu has %d properties\n", static_cast<unsigned long>(right), count);
  tamb_free_description(&desc, 0);

  fflush(stdout);
  pid_t other = fork();
  if (other == 0) {
    printf("\n  another process on the same server reads:\n");
    show_property(left, TAMB_METADATA_PRETTY_NAME);
    fflush(stdout);
    _exit(0);
  }
  waitpid(other, nullptr, 0);

  printf("\n  every subject (keys shown without the site prefix):\n");
  list_all();

  printf("\n  synth renames a port, drops a group, clears a port, then everything:\n");
  tamb_set_property(writer, left, TAMB_METADATA_PRETTY_NAME, "Main left", nullptr);
  tamb_remove_property(writer, right, TAMB_METADATA_PORT_GROUP);
  int removed = tamb_remove_properties(writer, right);
  printf("    (%d propert%s of port %lu removed)\n", removed, removed == 1 ? "y" : "ies",
         static_cast<unsigned long>(right));
  show_property(left, TAMB_METADATA_PRETTY_NAME);
  tamb_remove_all_properties(writer);
  list_all();
  kit::metadata_relay_to(nullptr);
}

void show_metadata() {
  printf(
      "Clients attach properties to clients and ports: (subject, key) -> value and type,\n"
      "kept in one database in the server directory and shared by all its processes. Each\n"
      "change becomes a notice that the server passes on to clients that asked for them.\n\n");
  char dir[] = "/tmp/tamb-demo-metadata-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    printf("  cannot make a directory for the demo\n");
    return;
  }
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    walk_through(dir);
    fflush(stdout);
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(dir);
}

TAMB_DEMO_CHAPTER(80, "Metadata properties", show_metadata);

}  // namespace
