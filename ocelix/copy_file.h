// The file a local copy is written into: made new (never replacing a file, never through a
// symbolic link), written to the end, cut back, and the free space of the disk it is on.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace ocelix {

class CopyFile {
  public:
    virtual ~CopyFile() = default;
    // The whole span, or false with the system error in *error (no room, file too large, ...).
    virtual bool Write(std::span<const uint8_t> bytes, int* error) = 0;
    // Cuts the file back to `size` bytes.
    virtual bool Truncate(uint64_t size, int* error) = 0;
    // Free bytes an ordinary user may still write on the file's disk; -1 with *error.
    virtual int64_t FreeBytes(int* error) = 0;
    // Removes the file (one that never received anything).
    virtual void Remove() = 0;
    const std::string& Path() const { return path_; }

  protected:
    explicit CopyFile(std::string path) : path_(std::move(path)) {}

  private:
    std::string path_;
};

// Creates `path`, or when that name is taken, the same name with "-2", "-3", ... put before its
// extension. Null with the system error in *error when no new file could be made.
std::unique_ptr<CopyFile> CreateCopyFile(const std::string& path, int* error);

// Free bytes an ordinary user may still write in the folder holding `path`; -1 with *error.
int64_t FreeBytesAt(const std::string& path, int* error);

// The system error of a full disk (ENOSPC, or ERROR_DISK_FULL on Windows), for a copy that ends
// because too little space is left.
int NoSpaceError();

// For the thread that writes copies: a write past the process's file-size limit fails with an
// error (and the copy ends cleanly) instead of ending the whole program with a signal.
void KeepFileSizeLimitAnError();
// The name with "-n" put before the extension of its last component (n >= 2), or `path` for 1.
std::string NumberedName(const std::string& path, int n);

}  // namespace ocelix
