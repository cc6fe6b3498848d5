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

// Wine 8 makes no symbolic link (CreateSymbolicLinkW is not implemented there), and it sees
// the Linux ones as the files they point to: DeleteFileW would remove the target, and cannot
// remove a dangling link. Links are made and removed on the Linux side.
FileLink::FileLink(const std::filesystem::path& target, const std::filesystem::path& link)
    : link_(link), made_(RunProcess({"ln", "-s", ToolPath(target), ToolPath(link)}).Succeeded()) {}

FileLink::~FileLink() {
    if (made_)
        RunProcess({"rm", "-f", ToolPath(link_)});
}

// Windows has no limit on the size of a process's files.
FileSizeLimit::FileSizeLimit(int64_t) {}

FileSizeLimit::~FileSizeLimit() = default;

}  // namespace rtmp::test
