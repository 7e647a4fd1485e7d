// SPDX-License-Identifier: MIT
/* libtamb: every public declaration. */
#ifndef TAMB_TAMB_H
#define TAMB_TAMB_H

#include "client.h"
#include "clock.h"
#include "control.h"
#include "hooks.h"
#include "metadata.h"
#include "midi.h"
#include "mlock.h"
#include "playhead_server.h"
#include "pool.h"
#include "port.h"
#include "request.h"
#include "sanity.h"
#include "shm.h"
#include "system_checks.h"
#include "transport.h"
#include "types.h"
#include "uuid.h"

#endif
