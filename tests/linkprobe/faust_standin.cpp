// SPDX-License-Identifier: MIT
// Stand-in for libfaust, built once per behaviour so the probe's every outcome can be run. Each
// build carries libfaust's soname; LD_LIBRARY_PATH picks which one the probe loads.
#include <stdexcept>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

#if defined(STANDIN_RETURNS_NULL)
STANDIN_EXPORT void *createLibContext() { return nullptr; }
#elif defined(STANDIN_RETURNS_CONTEXT)
STANDIN_EXPORT void *createLibContext() {
  static int context;
  return &context;
}
#elif defined(STANDIN_THROWS_INT)
STANDIN_EXPORT void *createLibContext() { throw 42; }
#elif defined(STANDIN_THROWS_EXCEPTION)
STANDIN_EXPORT void *createLibContext() { throw std::runtime_error("stand-in context failure"); }
#elif defined(STANDIN_WITHOUT_ENTRY)
// A libfaust too old or too stripped to have the entry at all.
STANDIN_EXPORT void *destroyLibContext() { return nullptr; }
#else
#error "choose the stand-in's behaviour with one STANDIN_* definition"
#endif
