// SPDX-License-Identifier: MIT
// The host server's transport engine: the registration requests go to the engine's handlers,
// and client activation goes through its activation and exit steps.
#include "kit.h"
#include "tamb/playhead_server.h"

namespace kit {

int Server::handle_timebase_set(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  return tamb_timebase_set(&server->engine_, request->body.timebase.client_id,
                           request->body.timebase.conditional);
}

int Server::handle_timebase_release(tamb_client_t *, tamb_request_t *request, void *arg) {
  return tamb_timebase_reset(&static_cast<Server *>(arg)->engine_, request->body.client_id);
}

int Server::handle_sync_set(tamb_client_t *, tamb_request_t *request, void *arg) {
  return tamb_transport_client_set_sync(&static_cast<Server *>(arg)->engine_,
                                        request->body.client_id);
}

int Server::handle_sync_reset(tamb_client_t *, tamb_request_t *request, void *arg) {
  return tamb_transport_client_reset_sync(&static_cast<Server *>(arg)->engine_,
                                          request->body.client_id);
}

int Server::handle_sync_timeout(tamb_client_t *, tamb_request_t *request, void *arg) {
  return tamb_transport_set_sync_timeout(&static_cast<Server *>(arg)->engine_,
                                         request->body.timeout);
}

void Server::transport_start() {
  tamb_transport_init(&engine_);
  hooks::request_set_handler(TAMB_REQ_TIMEBASE_SET, handle_timebase_set, this);
  hooks::request_set_handler(TAMB_REQ_TIMEBASE_RELEASE, handle_timebase_release, this);
  hooks::request_set_handler(TAMB_REQ_SYNC_CLIENT_SET, handle_sync_set, this);
  hooks::request_set_handler(TAMB_REQ_SYNC_CLIENT_RESET, handle_sync_reset, this);
  hooks::request_set_handler(TAMB_REQ_SYNC_TIMEOUT_SET, handle_sync_timeout, this);
}

void Server::transport_stop() {
  for (int32_t type : {TAMB_REQ_TIMEBASE_SET, TAMB_REQ_TIMEBASE_RELEASE, TAMB_REQ_SYNC_CLIENT_SET,
                       TAMB_REQ_SYNC_CLIENT_RESET, TAMB_REQ_SYNC_TIMEOUT_SET}) {
    hooks::request_set_handler(type, nullptr);
  }
}

// The client list stays stable while the engine walks it: the same lock as the requests.
void Server::activate(Client *client) {
  pthread_rwlock_wrlock(&engine_.client_lock);
  client->handle.control->active = 1;
  tamb_transport_activate(&engine_, &client->internal);
  pthread_rwlock_unlock(&engine_.client_lock);
}

void Server::deactivate(Client *client) {
  pthread_rwlock_wrlock(&engine_.client_lock);
  client->handle.control->active = 0;
  tamb_transport_client_exit(&engine_, &client->internal);
  pthread_rwlock_unlock(&engine_.client_lock);
}

void Server::set_sample_rate(uint32_t sample_rate) { tamb_set_sample_rate(&engine_, sample_rate); }

}  // namespace kit
