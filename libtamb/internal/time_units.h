// SPDX-License-Identifier: MIT
// The library counts time in microseconds (tamb_time_t and every *usecs field); these convert
// other units to and from them.
#ifndef TAMB_TIME_UNITS_H
#define TAMB_TIME_UNITS_H

#include <cstdint>

namespace tamb {

inline constexpr uint64_t usecs_per_sec = 1000000;
inline constexpr uint64_t nsecs_per_usec = 1000;

}  // namespace tamb

#endif
