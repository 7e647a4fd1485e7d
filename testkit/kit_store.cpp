// Passes property change notices on to the clients that asked for them.
#include "kit_store.h"

#include <string>
#include <utility>
#include <vector>

namespace kit {
namespace {

struct Listener {
  tamb_property_change_callback_t callback;
  void *arg;
};

// The key arrives as key_size bytes beside the record, as it would reach a server in another
// process; the relay passes on its own copy, never the sender's pointer.
int relay_property_change(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  const tamb_request_property_t notice = request->body.property;
  std::string key;
  bool has_key = notice.key != nullptr && notice.key_size > 0;
  if (has_key) key.assign(notice.key, notice.key_size - 1);

  // The list is copied first so that no callback runs under the engine's client lock.
  std::vector<Listener> listeners;
  tamb_engine_t *engine = server->engine();
  pthread_rwlock_rdlock(&engine->client_lock);
  for (tamb_slist_t *node = engine->clients; node != nullptr; node = node->next) {
    // The engine's list holds &Client::internal, the first member of a Client.
    auto *client = reinterpret_cast<Client *>(node->data);
    if (client->handle.property_callback != nullptr) {
      listeners.push_back({client->handle.property_callback, client->handle.property_arg});
    }
  }
  pthread_rwlock_unlock(&engine->client_lock);

  auto change = static_cast<tamb_property_change_t>(notice.change);
  for (const Listener &listener : listeners) {
    listener.callback(notice.subject, has_key ? key.c_str() : nullptr, change, listener.arg);
  }
  return 0;
}

}  // namespace

void metadata_relay_to(Server *server) {
  hooks::request_set_handler(TAMB_REQ_PROPERTY_CHANGE_NOTIFY,
                             server != nullptr ? relay_property_change : nullptr, server);
}

}  // namespace kit
