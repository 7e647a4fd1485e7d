// SPDX-License-Identifier: MIT
#include "kit_session.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "hooks.h"

namespace kit {

float session_sample(int producer, uint64_t cycle, uint32_t frame) {
  return static_cast<float>(static_cast<uint64_t>(producer + 1) * 100000 + (cycle % 64) * 256 +
                            frame);
}

void session_timebase(tamb_transport_state_t, tamb_nframes_t, tamb_position_t *position, int,
                      void *) {
  uint32_t beats = position->frame / session_frames_per_beat;
  position->valid = TAMB_POSITION_BBT;
  position->bar = static_cast<int32_t>(beats / 4 + 1);
  position->beat = static_cast<int32_t>(beats % 4 + 1);
  position->tick = 0;
  position->beats_per_bar = 4;
  position->beat_type = 4;
  position->ticks_per_beat = 1920;
  position->beats_per_minute = 120;
}

SessionPorts session_ports(tamb_client_t *client, bool output) {
  unsigned long flags = output ? TAMB_PORT_IS_OUTPUT : TAMB_PORT_IS_INPUT;
  SessionPorts ports;
  ports.audio = tamb_port_register(client, output ? "audio" : "audio_in",
                                   tamb_builtin_port_types[0].type_name, flags, 0);
  ports.midi = tamb_port_register(client, output ? "midi" : "midi_in",
                                  tamb_builtin_port_types[1].type_name, flags, 0);
  return ports;
}

int session_connect(RemoteHost &remote, std::initializer_list<const char *> sources,
                    const char *sink) {
  int made = 0;
  std::string to = sink;
  for (const char *source : sources) {
    std::string from = source;
    made += remote.connect((from + ":audio").c_str(), (to + ":audio_in").c_str()) == 0;
    made += remote.connect((from + ":midi").c_str(), (to + ":midi_in").c_str()) == 0;
  }
  return made;
}

void session_transport(tamb_client_t *client, const TransportScript &script, uint64_t cycle) {
  if (cycle == script.start_at || cycle == script.restart_at) tamb_transport_start(client);
  if (cycle == script.stop_at) tamb_transport_stop(client);
  if (cycle == script.locate_at) tamb_transport_locate(client, script.locate_frame);
}

bool session_read_property(tamb_uuid_t subject, const char *key, char *out, size_t size) {
  char *value = nullptr;
  char *type = nullptr;
  if (key == nullptr || tamb_get_property(subject, key, &value, &type) != 0) return false;
  snprintf(out, size, "%s", value);
  free(value);
  free(type);
  return true;
}

ServerDir::ServerDir(const char *prefix) {
  std::string pattern = std::string(prefix) + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  hooks::server_dir_set_root(path_);
}

ServerDir::~ServerDir() {
  if (path_.empty()) return;
  std::filesystem::remove_all(path_);
  hooks::server_dir_set_root("");
}

}  // namespace kit
