// Why a connect failed, as far as the caller can act on it: the kinds of RTMP_GetLastError and a
// line for the log.
#pragma once

#include <string>

#include "stream/rtmp.h"

namespace rtmp {

struct ConnectFailure {
    int kind = RTMP_ERROR_NONE;  // RTMP_ERROR_*
    std::string text;            // what failed, for whom, in words for the log
};

}  // namespace rtmp
