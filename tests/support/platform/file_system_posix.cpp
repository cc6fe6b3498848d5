#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "support/file_system.h"

namespace rtmp::test {

const FileErrors& SystemFileErrors() {
    static constexpr FileErrors kErrors{ENOENT, ENOTDIR, EACCES, ENOSPC, EFBIG};
    return kErrors;
}

std::filesystem::path UnwritableFolder(const std::filesystem::path& scratch) {
    // The superuser writes anywhere but in sysfs.
    if (::geteuid() == 0)
        return "/sys";
    const std::filesystem::path folder = scratch / "read-only";
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(
        folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    return folder;
}

FileLink::FileLink(const std::filesystem::path& target, const std::filesystem::path& link)
    : link_(link) {
    std::error_code ec;
    std::filesystem::create_symlink(target, link, ec);
    made_ = !ec;
}

FileLink::~FileLink() {
    std::error_code ec;
    if (made_)
        std::filesystem::remove(link_, ec);
}

FileSizeLimit::FileSizeLimit(int64_t bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    previous_ = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    set_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    if (set_ && ::getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = static_cast<rlim_t>(previous_);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
}

}  // namespace rtmp::test
