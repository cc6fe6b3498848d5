// System error numbers the capture layer reports in the encoder's records.
#pragma once

namespace capture {

// The error of a file name longer than the system takes: ENAMETOOLONG, on Windows
// ERROR_FILENAME_EXCED_RANGE.
int NameTooLongError();

}  // namespace capture
