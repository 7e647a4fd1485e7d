// SPDX-License-Identifier: MIT
// The shared records byte by byte: what a write through the struct changes, where C code sees
// the fields, and how the request payloads overlay each other.
#include <gtest/gtest.h>
#include <tamb/tamb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "records_c11.h"

namespace {

constexpr uint8_t kMarker = 0xa5;

// The bytes of one record, prefilled with a marker. The record starts at an odd address so
// that every multi-byte field is misaligned, as packed fields in a segment may be.
class Bytes {
 public:
  explicit Bytes(size_t size) : storage_(size + 1, kMarker) {}

  uint8_t *data() { return storage_.data() + 1; }
  const uint8_t *data() const { return storage_.data() + 1; }
  size_t size() const { return storage_.size() - 1; }

  template <typename T>
  T *As() {
    return reinterpret_cast<T *>(data());
  }

  template <typename T>
  void Put(size_t offset, T value) {
    std::memcpy(data() + offset, &value, sizeof value);
  }

  template <typename T>
  T Get(size_t offset) const {
    T value;
    std::memcpy(&value, data() + offset, sizeof value);
    return value;
  }

 private:
  std::vector<uint8_t> storage_;
};

// Empty when both hold the same bytes, else where they first differ.
std::string Difference(const Bytes &actual, const Bytes &expected) {
  if (actual.size() != expected.size()) return "sizes differ";
  for (size_t i = 0; i < actual.size(); ++i) {
    if (actual.data()[i] != expected.data()[i]) {
      char text[80];
      std::snprintf(text, sizeof text, "byte %zu is 0x%02x, expected 0x%02x", i, actual.data()[i],
                    expected.data()[i]);
      return text;
    }
  }
  return "";
}

TEST(Records, CCompilerSeesTheSameLayout) {
  const std::map<std::string, size_t> expected = {
      {"sizeof tamb_position_t", 136},
      {"sizeof tamb_frame_timer_t", 44},
      {"sizeof tamb_request_t", 5174},
      {"sizeof tamb_client_control_t", 372},
      {"sizeof tamb_control_t", 761},
      {"sizeof tamb_port_shared_t", 927},
      {"sizeof tamb_port_type_info_t", 50},
      {"alignof tamb_position_t", 1},
      {"alignof tamb_frame_timer_t", 1},
      {"alignof tamb_request_t", 1},
      {"alignof tamb_client_control_t", 1},
      {"alignof tamb_control_t", 1},
      {"alignof tamb_port_shared_t", 1},
      {"tamb_position_t.usecs", 8},
      {"tamb_position_t.valid", 24},
      {"tamb_position_t.bar_start_tick", 40},
      {"tamb_position_t.beats_per_minute", 64},
      {"tamb_position_t.extra", 72},
      {"tamb_position_t.tail_id", 128},
      {"tamb_control_t.current_position", 12},
      {"tamb_control_t.requested_position.tail_id", 412},
      {"tamb_control_t.last_request_id", 420},
      {"tamb_control_t.position_id_counter", 428},
      {"tamb_control_t.next_frame", 434},
      {"tamb_control_t.sync_remain", 442},
      {"tamb_control_t.sync_timeout", 446},
      {"tamb_control_t.sync_time_left", 454},
      {"tamb_control_t.frame_timer", 462},
      {"tamb_control_t.frame_timer.cycle_start_usecs", 470},
      {"tamb_control_t.frame_timer.tail_guard", 494},
      {"tamb_control_t.buffer_size", 518},
      {"tamb_control_t.port_capacity", 549},
      {"tamb_control_t.port_type_count", 557},
      {"tamb_control_t.port_types", 561},
      {"tamb_control_t.port_types[3].silence_offset", 561 + 3 * 50 + 46},
      {"tamb_control_t.port_table", 761},
      {"tamb_control_t.port_table[2].uuid", 761 + 2 * 927 + 12},
      {"tamb_port_shared_t.uuid", 12},
      {"tamb_port_shared_t.name", 24},
      {"tamb_port_shared_t.alias2", 602},
      {"tamb_port_shared_t.client_id", 891},
      {"tamb_port_shared_t.capture_latency", 915},
      {"tamb_port_shared_t.in_use", 925},
      {"tamb_port_type_info_t.size_factor", 36},
      {"tamb_port_type_info_t.segment_index", 44},
      {"tamb_port_type_info_t.silence_offset", 46},
      {"tamb_client_control_t.name", 12},
      {"tamb_client_control_t.active", 309},
      {"tamb_client_control_t.exiting", 310},
      {"tamb_client_control_t.timebase_master", 312},
      {"tamb_client_control_t.timebase_new", 313},
      {"tamb_client_control_t.slowsync", 314},
      {"tamb_client_control_t.active_slowsync", 315},
      {"tamb_client_control_t.sync_poll", 316},
      {"tamb_client_control_t.sync_poll_new", 317},
      {"tamb_client_control_t.sample_rate_cb_set", 357},
      {"tamb_client_control_t.sync_cb_set", 362},
      {"tamb_client_control_t.timebase_cb_set", 363},
      {"tamb_client_control_t.property_cb_set", 369},
      {"tamb_request_t.body", 4},
      {"tamb_request_t.body.port.name", 4},
      {"tamb_request_t.body.port.type_name", 260},
      {"tamb_request_t.body.port.flags", 292},
      {"tamb_request_t.body.port.buffer_size", 296},
      {"tamb_request_t.body.port.port_id", 300},
      {"tamb_request_t.body.port.client_id", 304},
      {"tamb_request_t.body.connections.count", 4},
      {"tamb_request_t.body.connections.ports", 8},
      {"tamb_request_t.body.rename.new_name", 260},
      {"tamb_request_t.body.timebase.conditional", 12},
      {"tamb_request_t.body.client_id", 4},
      {"tamb_request_t.body.timeout", 4},
      {"tamb_request_t.body.property.subject", 8},
      {"tamb_request_t.body.property.key_size", 16},
      {"tamb_request_t.body.property.key", 24},
      {"tamb_request_t.status", 5170},
      // Process-local, but a strict C11 includer must see the engine record as C++ does.
      {"sizeof tamb_engine_t", sizeof(tamb_engine_t)},
      {"tamb_engine_t.verbose", offsetof(tamb_engine_t, verbose)},
      {"tamb_engine_t.clients", offsetof(tamb_engine_t, clients)},
  };
  std::map<std::string, size_t> c_view;
  for (size_t i = 0; i < records_c_layout_count; ++i) {
    c_view[records_c_layout[i].name] = records_c_layout[i].value;
  }
  EXPECT_EQ(c_view.size(), expected.size());
  for (const auto &[name, value] : expected) {
    auto found = c_view.find(name);
    ASSERT_NE(found, c_view.end()) << name << " missing from the C view";
    EXPECT_EQ(found->second, value) << name;
  }
}

TEST(Records, ControlFieldsOccupyExactlyTheirBytes) {
  Bytes actual(sizeof(tamb_control_t));
  Bytes expected(sizeof(tamb_control_t));
  tamb_control_t *control = actual.As<tamb_control_t>();

  control->transport_cmd = TAMB_TRANSPORT_CMD_STOP;
  expected.Put<int32_t>(4, 2);
  control->current_position.head_id = 0x1112131415161718;
  expected.Put<uint64_t>(12, 0x1112131415161718);
  control->current_position.beats_per_minute = 123.25;
  expected.Put<double>(12 + 64, 123.25);
  control->current_position.tail_id = 0x2122232425262728;
  expected.Put<uint64_t>(140, 0x2122232425262728);
  control->requested_position.usecs = 0x3132333435363738;
  expected.Put<uint64_t>(292, 0x3132333435363738);
  control->last_request_id = 0x4142434445464748;
  expected.Put<uint64_t>(420, 0x4142434445464748);
  control->position_id_counter = 1;
  expected.Put<uint32_t>(428, 1);
  control->pending_is_new = 1;
  expected.Put<uint8_t>(433, 1);
  control->next_frame = 0x51525354;
  expected.Put<uint32_t>(434, 0x51525354);
  control->sync_remain = -3;
  expected.Put<int32_t>(442, -3);
  control->sync_timeout = 2000000;
  expected.Put<uint64_t>(446, 2000000);
  control->sync_time_left = 0x6162636465666768;
  expected.Put<uint64_t>(454, 0x6162636465666768);
  control->frame_timer.head_guard = 7;
  expected.Put<uint32_t>(462, 7);
  control->frame_timer.cycle_start_usecs = 0x7172737475767778;
  expected.Put<uint64_t>(470, 0x7172737475767778);
  control->frame_timer.period_usecs = 5333.25f;
  expected.Put<float>(486, 5333.25f);
  control->frame_timer.tail_guard = 8;
  expected.Put<uint32_t>(462 + 32, 8);
  control->buffer_size = 256;
  expected.Put<uint32_t>(518, 256);
  control->port_capacity = 2048;
  expected.Put<uint32_t>(549, 2048);
  control->port_type_count = 2;
  expected.Put<int32_t>(557, 2);

  EXPECT_EQ(Difference(actual, expected), "");
  EXPECT_EQ(actual.Get<uint64_t>(446), 2000000u);

  // The other direction: bytes placed by another process read back through the members.
  expected.Put<uint64_t>(454, 987654321012);
  expected.Put<double>(148 + 40, -1.5);
  const tamb_control_t *other = expected.As<tamb_control_t>();
  EXPECT_EQ(other->sync_time_left, 987654321012u);
  EXPECT_EQ(other->pending_position.bar_start_tick, -1.5);
  EXPECT_EQ(other->frame_timer.cycle_start_usecs, 0x7172737475767778u);
}

TEST(Records, PortRecordNStartsAt761Plus927N) {
  constexpr uint32_t kPorts = 3;
  ASSERT_EQ(TAMB_CONTROL_SIZE(kPorts), 761u + 927u * kPorts);
  Bytes actual(TAMB_CONTROL_SIZE(kPorts));
  Bytes expected(TAMB_CONTROL_SIZE(kPorts));
  tamb_control_t *control = actual.As<tamb_control_t>();

  control->port_types[3].silence_offset = 0x01020304;
  expected.Put<int32_t>(561 + 3 * 50 + 46, 0x01020304);
  for (uint32_t n = 0; n < kPorts; ++n) {
    const size_t base = 761 + 927 * n;
    tamb_port_shared_t &port = control->port_table[n];
    port.id = n;
    expected.Put<uint32_t>(base + 8, n);
    port.uuid = tamb_port_uuid_generate(n);
    expected.Put<uint64_t>(base + 12, 4294967297u + n);
    std::memcpy(port.name, "c:p", 4);
    std::memcpy(expected.data() + base + 24, "c:p", 4);
    port.client_id = 8589934593u + n;
    expected.Put<uint64_t>(base + 891, 8589934593u + n);
    port.capture_latency.max = 64 + n;
    expected.Put<uint32_t>(base + 919, 64 + n);
    port.in_use = 1;
    expected.Put<uint8_t>(base + 925, 1);
    port.reserved = 0x5c;
    expected.Put<uint8_t>(base + 926, 0x5c);
  }

  EXPECT_EQ(Difference(actual, expected), "");
  // The last port's last byte is the block's last byte: nothing lies beyond the table.
  EXPECT_EQ(actual.data()[actual.size() - 1], 0x5c);
}

TEST(Records, ClientControlFlagsSitAtTheirBytes) {
  struct Flag {
    uint8_t tamb_client_control_t::*member;
    size_t offset;
  };
  const Flag flags[] = {
      {&tamb_client_control_t::active, 309},
      {&tamb_client_control_t::exiting, 310},
      {&tamb_client_control_t::timebase_master, 312},
      {&tamb_client_control_t::timebase_new, 313},
      {&tamb_client_control_t::slowsync, 314},
      {&tamb_client_control_t::active_slowsync, 315},
      {&tamb_client_control_t::sync_poll, 316},
      {&tamb_client_control_t::sync_poll_new, 317},
      {&tamb_client_control_t::sample_rate_cb_set, 357},
      {&tamb_client_control_t::sync_cb_set, 362},
      {&tamb_client_control_t::timebase_cb_set, 363},
      {&tamb_client_control_t::property_cb_set, 369},
  };
  for (const Flag &flag : flags) {
    Bytes actual(sizeof(tamb_client_control_t));
    Bytes expected(sizeof(tamb_client_control_t));
    actual.As<tamb_client_control_t>()->*flag.member = 1;
    expected.Put<uint8_t>(flag.offset, 1);
    EXPECT_EQ(Difference(actual, expected), "") << "flag at " << flag.offset;
  }

  Bytes actual(sizeof(tamb_client_control_t));
  Bytes expected(sizeof(tamb_client_control_t));
  tamb_client_control_t *client = actual.As<tamb_client_control_t>();
  client->uuid = 8589934593u;
  expected.Put<uint64_t>(0, 8589934593u);
  std::memcpy(client->name, "mixer", 6);
  std::memcpy(expected.data() + 12, "mixer", 6);
  EXPECT_EQ(Difference(actual, expected), "");
}

TEST(Records, RequestFieldsOccupyExactlyTheirBytes) {
  {
    Bytes actual(sizeof(tamb_request_t));
    Bytes expected(sizeof(tamb_request_t));
    tamb_request_t *request = actual.As<tamb_request_t>();
    request->type = TAMB_REQ_PORT_REGISTER;
    expected.Put<int32_t>(0, 1);
    std::memcpy(request->body.port.name, "synth:out", 10);
    std::memcpy(expected.data() + 4, "synth:out", 10);
    std::memcpy(request->body.port.type_name, TAMB_PORT_TYPE_MIDI, 15);
    std::memcpy(expected.data() + 260, "8 bit raw midi", 15);
    request->body.port.flags = TAMB_PORT_IS_OUTPUT | TAMB_PORT_IS_PHYSICAL;
    expected.Put<uint32_t>(292, 6);
    request->body.port.buffer_size = 2048;
    expected.Put<uint32_t>(296, 2048);
    request->body.port.port_id = 0x01020304;
    expected.Put<uint32_t>(300, 0x01020304);
    request->body.port.client_id = 8589934600u;
    expected.Put<uint64_t>(304, 8589934600u);
    request->status = -1;
    expected.Put<int32_t>(5170, -1);
    EXPECT_EQ(Difference(actual, expected), "") << "port registration";
  }
  {
    Bytes actual(sizeof(tamb_request_t));
    Bytes expected(sizeof(tamb_request_t));
    tamb_request_t *request = actual.As<tamb_request_t>();
    request->type = TAMB_REQ_SYNC_TIMEOUT_SET;
    expected.Put<int32_t>(0, 15);
    request->body.timeout = 0x0102030405060708;
    expected.Put<uint64_t>(4, 0x0102030405060708);
    EXPECT_EQ(Difference(actual, expected), "") << "sync timeout";
  }
  {
    Bytes actual(sizeof(tamb_request_t));
    Bytes expected(sizeof(tamb_request_t));
    tamb_request_t *request = actual.As<tamb_request_t>();
    request->type = TAMB_REQ_TIMEBASE_SET;
    expected.Put<int32_t>(0, 5);
    request->body.timebase.client_id = 8589934594u;
    expected.Put<uint64_t>(4, 8589934594u);
    request->body.timebase.conditional = 1;
    expected.Put<int32_t>(12, 1);
    EXPECT_EQ(Difference(actual, expected), "") << "timebase";
  }
  {
    static const char key[] = "http://example.org/k";
    Bytes actual(sizeof(tamb_request_t));
    Bytes expected(sizeof(tamb_request_t));
    tamb_request_t *request = actual.As<tamb_request_t>();
    request->type = TAMB_REQ_PROPERTY_CHANGE_NOTIFY;
    expected.Put<int32_t>(0, 33);
    request->body.property.change = TAMB_PROPERTY_CHANGED;
    expected.Put<int32_t>(4, 1);
    request->body.property.subject = 4294967297u;
    expected.Put<uint64_t>(8, 4294967297u);
    request->body.property.key_size = sizeof key;
    expected.Put<uint64_t>(16, sizeof key);
    request->body.property.key = key;
    expected.Put<const char *>(24, key);
    request->status = 0;
    expected.Put<int32_t>(5170, 0);
    EXPECT_EQ(Difference(actual, expected), "") << "property change";
    EXPECT_EQ(actual.Get<const char *>(24), key);
  }
}

TEST(Records, RequestPayloadsShareBytesFromOffset4) {
  Bytes bytes(sizeof(tamb_request_t));
  tamb_request_t *request = bytes.As<tamb_request_t>();

  // The answer to a connection query lands on the query's own port name.
  std::memcpy(request->body.port.name, "abcd", 4);
  EXPECT_EQ(request->body.connections.count, 0x64636261u);
  const char *names[] = {"a:out", nullptr};
  request->body.connections.ports = names;
  const char **ports;
  std::memcpy(&ports, request->body.port.name + 4, sizeof ports);
  EXPECT_EQ(ports, names);

  std::memcpy(request->body.rename.new_name, "n", 2);
  EXPECT_STREQ(request->body.port.type_name, "n");

  request->body.client_id = 8589934595u;
  EXPECT_EQ(request->body.timebase.client_id, 8589934595u);
  EXPECT_EQ(request->body.timeout, 8589934595u);
  EXPECT_EQ(bytes.Get<uint64_t>(4), 8589934595u);
}

TEST(Records, CCodeReadsAndWritesTheSameBytes) {
  constexpr uint32_t kPorts = 3;
  Bytes actual(TAMB_CONTROL_SIZE(kPorts));
  Bytes expected(TAMB_CONTROL_SIZE(kPorts));
  const uint64_t value = 0x0807060504030201;
  records_c_stamp_control(actual.As<tamb_control_t>(), 2, value);
  expected.Put<uint64_t>(446, value);
  expected.Put<uint64_t>(470, value);
  expected.Put<uint32_t>(518, static_cast<uint32_t>(value));
  expected.Put<uint64_t>(761 + 927 * 2 + 891, value);
  EXPECT_EQ(Difference(actual, expected), "");

  actual.As<tamb_control_t>()->port_table[1].client_id = 8589934597u;
  EXPECT_EQ(records_c_load_port_client_id(actual.As<tamb_control_t>(), 1), 8589934597u);

  Bytes request(sizeof(tamb_request_t));
  request.Put<uint64_t>(4, 3000000);
  EXPECT_EQ(records_c_load_timeout(request.As<tamb_request_t>()), 3000000u);

  static const char key[] = "key";
  Bytes property(sizeof(tamb_request_t));
  Bytes property_expected(sizeof(tamb_request_t));
  records_c_stamp_property_request(property.As<tamb_request_t>(), key, -22);
  property_expected.Put<int32_t>(0, 33);
  property_expected.Put<int32_t>(4, 2);
  property_expected.Put<uint64_t>(8, 4294967297u);
  property_expected.Put<uint64_t>(16, 4);
  property_expected.Put<const char *>(24, key);
  property_expected.Put<int32_t>(5170, -22);
  EXPECT_EQ(Difference(property, property_expected), "");
}

}  // namespace
