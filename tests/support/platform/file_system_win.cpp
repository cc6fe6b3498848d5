#include <windows.h>

#include "support/child_process.h"
#include "support/file_system.h"

namespace rtmp::test {

const FileErrors& SystemFileErrors() {
    // Windows has no file size limit: fileTooLarge is never reported.
    static constexpr FileErrors kErrors{ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND,
                                        ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_FILE_TOO_LARGE};
    return kErrors;
}

std::filesystem::path UnwritableFolder(const std::filesystem::path&) {
    // Under Wine, files are the Linux ones: not even the superuser makes one in sysfs.
    return FromToolPath("/sys");
}

// Windows has no limit on the size of a process's files.
FileSizeLimit::FileSizeLimit(int64_t) {}

FileSizeLimit::~FileSizeLimit() = default;

}  // namespace rtmp::test
