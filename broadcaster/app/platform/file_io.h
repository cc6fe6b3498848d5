// File operations the settings need: a whole-file read that tells a missing file from an
// unreadable one, an atomic replace, folders made on demand, and the user's own folders.
#pragma once

#include <string>

namespace app::platform {

// The separator this system writes between the names of a path ('/', on Windows '\\'; Windows
// also takes '/').
char PathSeparator();

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

// The user's settings folder, made (private to the user) when missing: on Linux
// $XDG_CONFIG_HOME/tutorlane, default ~/.config/tutorlane; on Windows %APPDATA%\Tutorlane.
// "" with *error set when there is none.
std::string UserConfigFolder(std::string* error);
// Makes path and every missing folder above it (private to the user: mode 0700, or on Windows an
// access list of the user alone). Returns the reason of a failure ("" on success, also when the
// folder was there already).
std::string MakeFolders(const std::string& path);
// The user's home folder ($HOME, on Windows the profile folder); "" when there is none.
std::string HomeFolder();
// The user's videos folder (on Linux what `xdg-user-dir VIDEOS` names, unless that is the home
// folder itself, else ~/Videos; on Windows the Videos known folder); "" without a home folder.
std::string VideosFolder();
// The user's runtime folder ($XDG_RUNTIME_DIR, or /tmp when it is not set; on Windows
// %LOCALAPPDATA%\Tutorlane).
std::string RuntimeFolder();
// The user id, for names in shared folders (on Windows the user's relative id, the last part of
// the account's security id).
unsigned UserId();

// What a failed file operation's system error (errno, or on Windows the Windows error) means to
// the teacher.
enum class FileFailure { kNoAccess, kNoFolder, kNoSpace, kTooLarge, kNameTooLong, kOther };
FileFailure ClassifyFileError(int systemError);

}  // namespace app::platform
