// Size of the primary screen in pixels; {0, 0} when no display can be opened.
#pragma once

#include <utility>

namespace capture {

std::pair<int, int> PrimaryScreenSize();

}  // namespace capture
