// SPDX-License-Identifier: MIT
// Calls that a TAMB_NONBLOCKING function makes although clang cannot prove them nonblocking.
//
// With -Wfunction-effects clang accepts in such a function only calls to functions marked
// nonblocking or whose bodies it sees and finds clean. The C library's functions are marked
// neither, and some calls leave the promise on purpose. TAMB_NONBLOCKING_EXEMPT(call) lets
// one call through, and each use says why beside it. There are two kinds:
// - calls that keep the promise but are declared elsewhere without the mark: reading the
//   clock (a vDSO call that makes no system call), strnlen;
// - the report of an internal error, which breaks the process cycle anyway: the report then
//   matters more than the cycle's deadline.
// RealtimeSanitizer still checks every such call at run time.
#ifndef TAMB_NONBLOCKING_H
#define TAMB_NONBLOCKING_H

#if defined(__clang__)
#define TAMB_NONBLOCKING_EXEMPT(...)                                   \
  _Pragma("clang diagnostic push")                                     \
      _Pragma("clang diagnostic ignored \"-Wunknown-warning-option\"") \
          _Pragma("clang diagnostic ignored \"-Wfunction-effects\"")   \
              __VA_ARGS__ _Pragma("clang diagnostic pop")
#else
#define TAMB_NONBLOCKING_EXEMPT(...) __VA_ARGS__
#endif

#endif
