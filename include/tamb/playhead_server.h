/* The server side of the transport: run by the server every process cycle and on client events. */
#ifndef TAMB_PLAYHEAD_SERVER_H
#define TAMB_PLAYHEAD_SERVER_H

#include "client.h"

#endif
