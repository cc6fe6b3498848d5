// File operations the settings need: a whole-file read that tells a missing file from an
// unreadable one, an atomic replace, folders made on demand, and the user's own folders.
#pragma once

#include <string>

namespace app::platform {

struct FileRead {
    std::string text;
    std::string error;  // "" when read or missing
    bool missing = false;
};
constexpr size_t kMaxSettingsBytes = 1 << 20;
// The whole file (at most kMaxSettingsBytes; a larger file is an error).
FileRead ReadWholeFile(const std::string& path);

// Replaces path with text: a temporary file made in the same folder, written, flushed, synced
// and renamed over path, so that readers see the old or the new file and never a part. Returns
// the reason of a failure ("" on success); the old file then stays as it was.
std::string ReplaceFileAtomically(const std::string& path, const std::string& text);

// The user's settings folder: $XDG_CONFIG_HOME/tutorlane, default ~/.config/tutorlane, made
// (mode 0700) when missing. "" with *error set when there is none.
std::string UserConfigFolder(std::string* error);
// Makes path and every missing folder above it (mode 0700). Returns the reason of a failure ("" on
// success, also when the folder was there already).
std::string MakeFolders(const std::string& path);
// The user's home folder ($HOME); "" when it is not set.
std::string HomeFolder();
// The user's runtime folder ($XDG_RUNTIME_DIR), or /tmp when it is not set.
std::string RuntimeFolder();
// The user id, for names in shared folders.
unsigned UserId();

}  // namespace app::platform
