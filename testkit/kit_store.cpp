// SPDX-License-Identifier: MIT
// Passes property change notices on to the clients that asked for them, and opens the metadata
// store raw.
#include "kit_store.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "store_format.h"

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

std::string stored_key(const std::string &subject_text, const std::string &key) {
  return subject_text + std::string(tamb::store::subject_text_size - subject_text.size(), '\0') +
         key + '\0';
}

RawStore::RawStore(const std::string &dir) {
  if (create_env()) open(dir, DB_UNKNOWN, tamb::store::env_base_flags, DB_THREAD, 0);
}

RawStore::RawStore(const std::string &dir, Fresh fresh) {
  std::filesystem::create_directories(dir);
  if (!create_env()) return;
  env_->set_cachesize(env_, 0, tamb::store::cache_bytes, 1);
  if (fresh.durable) {
    env_->set_flags(env_, DB_TXN_WRITE_NOSYNC, 1);
    env_->log_set_config(env_, DB_LOG_AUTO_REMOVE, 1);
    env_->set_lg_max(env_, tamb::store::log_file_bytes);
    open(dir, DB_HASH, tamb::store::env_flags, tamb::store::db_flags, tamb::store::db_mode);
  } else {
    open(dir, DB_HASH, tamb::store::env_base_flags, tamb::store::db_base_flags,
         tamb::store::db_mode);
  }
}

bool RawStore::create_env() {
  status_ = db_env_create(&env_, 0);
  if (status_ != 0) env_ = nullptr;
  return status_ == 0;
}

// Opens the environment created by create_env(), then the database; on failure, closes both.
void RawStore::open(const std::string &dir, DBTYPE type, uint32_t env_flags, uint32_t db_flags,
                    int mode) {
  status_ = env_->open(env_, dir.c_str(), env_flags, 0);
  if (status_ == 0) status_ = db_create(&db_, env_, 0);
  if (status_ == 0) {
    const std::string path = dir + "/" + tamb::store::db_file;
    status_ = db_->open(db_, nullptr, path.c_str(), nullptr, type, db_flags, mode);
    if (status_ != 0) db_->close(db_, 0);
  }
  if (status_ != 0) {
    db_ = nullptr;
    env_->close(env_, 0);
    env_ = nullptr;
  }
}

RawStore::~RawStore() {
  if (db_ != nullptr) db_->close(db_, 0);
  if (env_ != nullptr) env_->close(env_, 0);
}

DBTYPE RawStore::type() {
  DBTYPE type = DB_UNKNOWN;
  if (db_ != nullptr) db_->get_type(db_, &type);
  return type;
}

int RawStore::clear() {
  if (db_ == nullptr) return EINVAL;
  uint32_t count = 0;
  return db_->truncate(db_, nullptr, &count, 0);
}

std::map<std::string, std::string> RawStore::records() {
  std::map<std::string, std::string> all;
  each([&](const DBT &key, const DBT &data) {
    all[std::string(static_cast<char *>(key.data), key.size)] =
        std::string(static_cast<char *>(data.data), data.size);
  });
  return all;
}

int RawStore::verify(const std::string &dir) {
  const std::string path = dir + "/" + tamb::store::db_file;
  DB *db = nullptr;
  int ret = db_create(&db, nullptr, 0);
  // verify() releases the handle whatever it finds.
  return ret != 0 ? ret : db->verify(db, path.c_str(), nullptr, nullptr, 0);
}

int RawStore::checkpoint(const std::string &dir) {
  DB_ENV *env = nullptr;
  int ret = db_env_create(&env, 0);
  if (ret != 0) return ret;
  ret = env->open(env, dir.c_str(), tamb::store::env_flags, 0);
  if (ret == 0) ret = env->txn_checkpoint(env, 0, 0, DB_FORCE);
  if (ret == 0) ret = env->log_archive(env, nullptr, DB_ARCH_REMOVE);
  env->close(env, 0);
  return ret;
}

}  // namespace kit
