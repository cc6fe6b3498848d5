#include <time.h>

#include "app/platform/local_time.h"

namespace app::platform {

std::tm LocalTime(std::time_t t) {
    std::tm local{};
    localtime_s(&local, &t);
    return local;
}

}  // namespace app::platform
