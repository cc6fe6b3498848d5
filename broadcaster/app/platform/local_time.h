// The wall clock as the teacher reads it.
#pragma once

#include <ctime>

namespace app::platform {

// The calendar time of t in the local time zone.
std::tm LocalTime(std::time_t t);

}  // namespace app::platform
