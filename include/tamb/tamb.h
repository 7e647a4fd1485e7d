/* libtamb: every public declaration. */
#ifndef TAMB_TAMB_H
#define TAMB_TAMB_H

#include "client.h"
#include "control.h"
#include "hooks.h"
#include "playhead_server.h"
#include "pool.h"
#include "request.h"
#include "shm.h"
#include "types.h"
#include "uuid.h"

#endif
