#include <windows.h>

#include "capture/platform/system_error.h"

namespace capture {

int NameTooLongError() {
    return ERROR_FILENAME_EXCED_RANGE;
}

}  // namespace capture
