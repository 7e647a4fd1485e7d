// SPDX-License-Identifier: MIT
// What the cross-process session scenario's runs have in common: the producers' samples, a
// 4/4 timebase at 120 bpm, the clients' audio and MIDI ports, the control surface's transport
// moves, the page the client processes report on and the server directory the run uses.
#ifndef TAMB_TESTKIT_KIT_SESSION_H
#define TAMB_TESTKIT_KIT_SESSION_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>

#include "kit_remote.h"
#include "tamb/tamb.h"

namespace kit {

constexpr uint32_t session_frames_per_beat = 24000;  // 120 beats per minute at 48 kHz

// Integers below 2^24: their float sums are exact in any order of mixing.
float session_sample(int producer, uint64_t cycle, uint32_t frame);

// A timebase callback: bars and beats of 4/4 at 120 bpm, counted from frame 0.
void session_timebase(tamb_transport_state_t, tamb_nframes_t, tamb_position_t *position, int,
                      void *);

// A client's audio and MIDI port: outputs "audio" and "midi", or inputs "audio_in" and
// "midi_in".
struct SessionPorts {
  tamb_port_t *audio = nullptr;
  tamb_port_t *midi = nullptr;
  bool ok() const { return audio != nullptr && midi != nullptr; }
};
SessionPorts session_ports(tamb_client_t *client, bool output);

// Connects each source's "audio" and "midi" to sink's "audio_in" and "midi_in"; returns the
// number of connections made.
int session_connect(RemoteHost &remote, std::initializer_list<const char *> sources,
                    const char *sink);

// When a control surface moves the transport, by cycle number (0: never).
struct TransportScript {
  uint64_t start_at = 0;
  uint64_t restart_at = 0;
  uint64_t stop_at = 0;
  uint64_t locate_at = 0;
  tamb_nframes_t locate_frame = 0;
};

// Sends the transport commands script has for cycle.
void session_transport(tamb_client_t *client, const TransportScript &script, uint64_t cycle);

// Copies the value subject has for key into out (cut to size); false when there is none.
bool session_read_property(tamb_uuid_t subject, const char *key, char *out, size_t size);

// A value-initialised T in memory that forked children share; get() is null when mapping
// failed. T must be trivially destructible.
template <class T>
class SharedRecord {
 public:
  SharedRecord() {
    void *memory =
        mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) record_ = new (memory) T{};
  }
  ~SharedRecord() {
    if (record_ != nullptr) munmap(record_, sizeof(T));
  }
  SharedRecord(const SharedRecord &) = delete;
  SharedRecord &operator=(const SharedRecord &) = delete;
  T *get() const { return record_; }

 private:
  T *record_ = nullptr;
};

// A fresh directory made from prefix ("/tmp/name-") and set as the server directory root;
// removed, and the root reset, on destruction. path() is empty when it could not be made.
class ServerDir {
 public:
  explicit ServerDir(const char *prefix);
  ~ServerDir();
  ServerDir(const ServerDir &) = delete;
  ServerDir &operator=(const ServerDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kit

#endif
