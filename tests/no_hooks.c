// SPDX-License-Identifier: MIT
/*
 * A program that links libtamb alone, with none of the outside hooks: every request fails with
 * ENOSYS and leaves the client's callbacks and flags as they were.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "tamb/tamb.h"

static int ready(tamb_transport_state_t state, tamb_position_t *position, void *arg) {
  (void)state;
  (void)position;
  (void)arg;
  return 1;
}

int main(void) {
  tamb_client_control_t control;
  tamb_client_t client;
  memset(&control, 0, sizeof control);
  memset(&client, 0, sizeof client);
  client.control = &control;

  int timeout = tamb_set_sync_timeout(&client, 1000);
  int sync = tamb_set_sync_callback(&client, ready, NULL);
  int release = tamb_release_timebase(&client);
  if (timeout != ENOSYS || sync != ENOSYS || release != ENOSYS) {
    fprintf(stderr, "results %d %d %d, expected %d each\n", timeout, sync, release, ENOSYS);
    return 1;
  }
  if (client.sync_callback != NULL || control.sync_cb_set != 0) {
    fprintf(stderr, "a failed request changed the client\n");
    return 1;
  }
  return 0;
}
