// What file tests expect of the system: the error numbers the libraries report for failed file
// calls (errno values on POSIX systems, Windows error codes on Windows), a folder the test
// program cannot write, symbolic links, and a limit on the size of the files it writes.
#pragma once

#include <cstdint>
#include <filesystem>

namespace rtmp::test {

struct FileErrors {
    int noSuchFolder, notAFolder, accessDenied, diskFull, fileTooLarge;
};
const FileErrors& SystemFileErrors();

// A folder in which the test program cannot make a file; `scratch` is a folder of the test's own
// to make one in.
std::filesystem::path UnwritableFolder(const std::filesystem::path& scratch);

// A symbolic link to `target` (which need not exist) at `link`, while it lives.
class FileLink {
  public:
    FileLink(const std::filesystem::path& target, const std::filesystem::path& link);
    ~FileLink();
    FileLink(const FileLink&) = delete;
    FileLink& operator=(const FileLink&) = delete;
    bool Made() const { return made_; }

  private:
    std::filesystem::path link_;
    bool made_ = false;
};

// While it lives, a write that would make a file of this process larger than `bytes` fails with
// fileTooLarge, where the system has such a limit (Set() tells).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(int64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Set() const { return set_; }

  private:
    bool set_ = false;
    uint64_t previous_ = 0;
};

}  // namespace rtmp::test
