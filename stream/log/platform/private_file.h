// The library's own files (log, traffic dumps, error file): a folder of the user's own, files
// opened without following links, readable by their owner only, refused when another user owns
// them, and kept below a size limit.
#pragma once

#include <cstddef>
#include <string>

namespace rtmp::log {

// $VISTREL_LOG_DIR when set, otherwise the per-user state folder ($XDG_STATE_HOME/tutorlane,
// default ~/.local/state/tutorlane), made when missing.
std::string PrivateLogDir();

// Appends head (may be null) and then data to the file at path, created with mode 0600. A
// link at path, a file with more than one name (a hard link), a file another user owns or
// anything but a plain file is left alone. When the
// file would grow beyond maxBytes its oldest bytes go first, so that it keeps the newest half;
// a record larger than half of maxBytes is cut to that. False when nothing was written.
bool AppendPrivate(const std::string& path, const char* head, const void* data, size_t length,
                   size_t maxBytes) noexcept;

// Removes the file at path (a link there, not what it points to); a missing file is no error.
void RemovePrivate(const std::string& path) noexcept;

}  // namespace rtmp::log
