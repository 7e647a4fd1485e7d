// The server's transport engine. It links libtamb and runs inside the server's process cycle.
#include "tamb/playhead_server.h"
