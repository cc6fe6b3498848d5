// The local copy of each lesson on the teacher's disk: where it goes (LocalCopy and
// LocalCopyFolder in [Device]), the name of its file, and what the teacher is told about it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "capture/broadcast_settings.h"
#include "ocelix/ocelix.h"

namespace app {

// Longest folder read from the settings: the file's name must still fit the encoder's path.
constexpr size_t kLocalCopyFolderReadBytes = 900;
// Longest classroom id in a file name.
constexpr size_t kClassroomNameBytes = 64;

// The user's videos folder (what `xdg-user-dir VIDEOS` names, unless that is the home folder
// itself; else ~/Videos) with "Tutorlane" added. "" without a home folder.
std::string DefaultLocalCopyFolder();

// "<classroom>-YYYYmmdd-HHMMSS.mp4" for a lesson that started at `start`. Bytes of the classroom
// id other than ASCII letters, digits, '-' and '_' become '_' (so that the name stays in its
// folder), it is cut at kClassroomNameBytes, and an empty one is "classroom".
std::string LocalCopyFileName(const std::string& classroom, const std::tm& start);

// Fills settings.localCopyPath for a broadcast that starts at `now`: "" when the copy is off,
// else a file in the folder, which is made (mode 0700) when missing. A folder that cannot be made
// is no reason to stop: the encoder then reports the copy as failed, and the teacher is told why.
void PrepareLocalCopy(capture::BroadcastSettings& settings, const std::string& classroom,
                      std::time_t now);

// "12.3 MB" (below 1000 MB) or "1.23 GB"; decimal units, as file managers show them.
std::string CopySizeText(uint64_t bytes);
// Why there is no copy or why it ended early, in a few words; "" when neither.
std::string CopyProblemText(const OcelixLocalCopy& copy);
// The window's status-line part: "本地录制中 12.3 MB" while recording, the problem when it
// failed or ended early, "" otherwise (off, or ended with the broadcast).
std::string CopyStatusText(const OcelixLocalCopy& copy);
// Its words before the size or the reason ("本地录制中"), the status line's short form.
std::string CopyStatusBrief(const OcelixLocalCopy& copy);
// The question at the end of a broadcast whose copy holds something: where it is, and whether
// to open its folder. "" when there is no file to show.
std::string CopyEndQuestion(const OcelixLocalCopy& copy);
// The console's line at the start (atEnd false) and at the end of a broadcast.
std::string CopyConsoleLine(const OcelixLocalCopy& copy, bool wanted, bool atEnd);
// The copy's file as the record holds it ("" when none).
std::string CopyPath(const OcelixLocalCopy& copy);
// The folder that holds a file path ("." for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace app
