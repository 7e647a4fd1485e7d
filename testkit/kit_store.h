// The stand-in server's side of metadata: it passes property change notices on to clients.
#ifndef TAMB_TESTKIT_KIT_METADATA_H
#define TAMB_TESTKIT_KIT_METADATA_H

#include "kit.h"

namespace kit {

// From now on, every property change notice (request 33) is passed on to each client of server
// that set a property change callback, the sender included, as (subject, key or null, change,
// the client's property_arg). Null stops passing notices on. The callbacks run in the thread
// that sent the notice, while the server handles that request: they may read properties but
// must not change them with a client, which would send a request of their own.
void metadata_relay_to(Server *server);

}  // namespace kit

#endif
