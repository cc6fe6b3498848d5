#include <cerrno>

#include "capture/platform/system_error.h"

namespace capture {

int NameTooLongError() {
    return ENAMETOOLONG;
}

}  // namespace capture
