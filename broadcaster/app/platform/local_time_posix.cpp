#include "app/platform/local_time.h"

namespace app::platform {

std::tm LocalTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

}  // namespace app::platform
