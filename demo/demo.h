// SPDX-License-Identifier: MIT
// The demo's chapters. Each demo_*.cpp registers its chapters; tamb-demo runs them in order.
#ifndef TAMB_DEMO_H
#define TAMB_DEMO_H

namespace demo {

using Run = void (*)();

// Registers a chapter; chapters run by ascending order, then by registration.
bool add_chapter(int order, const char *title, Run run);

}  // namespace demo

#define TAMB_DEMO_CHAPTER(order, title, run) \
  [[maybe_unused]] static const bool demo_chapter_##run = demo::add_chapter(order, title, run)

#endif
