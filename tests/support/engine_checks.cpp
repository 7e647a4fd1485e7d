// SPDX-License-Identifier: MIT
#include "engine_checks.h"

#include "kit.h"
#include "tamb/port.h"

namespace support {

std::unique_ptr<kit::Server> quiet_server(uint32_t port_capacity, uint32_t buffer_size,
                                          uint32_t rate) {
  hooks::log_set_echo(false);
  hooks::log_clear();
  auto server = std::make_unique<kit::Server>(port_capacity, buffer_size);
  if (rate != 0) server->set_sample_rate(rate);
  return server;
}

tamb_port_t *register_port(kit::Client *client, const char *name, const char *type,
                           unsigned long flags) {
  tamb_port_t *port = tamb_port_register(&client->handle, name, type, flags, 0);
  EXPECT_NE(port, nullptr) << name;
  return port;
}

std::vector<std::string> engine_traces() {
  std::vector<std::string> out;
  for (const hooks::Message &m : hooks::log_messages()) {
    if (m.level == hooks::Level::trace) out.push_back(m.text);
  }
  return out;
}

testing::AssertionResult engine_invariants(const tamb_engine_t *engine) {
  int32_t active = 0;
  int32_t polled = 0;
  for (const tamb_slist_t *node = engine->clients; node != nullptr; node = node->next) {
    const tamb_client_control_t *c = static_cast<tamb_client_internal_t *>(node->data)->control;
    if (c->active_slowsync && !c->slowsync) {
      return testing::AssertionFailure() << c->name << ": active_slowsync without slowsync";
    }
    if (c->sync_poll && !c->active_slowsync) {
      return testing::AssertionFailure() << c->name << ": sync_poll without active_slowsync";
    }
    active += c->active_slowsync;
    polled += c->active_slowsync && c->sync_poll;
  }
  const tamb_control_t *control = engine->control;
  if (control->sync_clients != active || control->sync_remain != polled) {
    return testing::AssertionFailure() << "sync_clients " << control->sync_clients << " for "
                                       << active << " active slow-sync clients, sync_remain "
                                       << control->sync_remain << " for " << polled << " polled";
  }
  return testing::AssertionSuccess();
}

}  // namespace support
