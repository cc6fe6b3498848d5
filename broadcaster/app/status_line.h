// The window's status line while broadcasting: its parts in order of importance, and the parts
// that fit the label, each one whole, on as many lines as the label holds.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "ocelix/ocelix.h"

class QFontMetrics;
class QLabel;

namespace app {

// What the capture devices are doing, as the status line tells it.
struct DeviceNotes {
    bool audioMissing = false;      // sound wanted, but none is captured
    bool microphoneSilent = false;  // captured, but nothing but silence for a while
    bool cameraStalled = false;     // the camera stopped delivering
};

// A part of the line and, when it has one, a shorter form used when the whole one has no room.
struct StatusPart {
    QString text;
    QString brief;
};
using StatusParts = std::vector<StatusPart>;

// The state with the time since the start first, then what the devices lack, then the local copy
// (its size while it records, why there is none or why it stopped), then what goes out (bit rate,
// packets dropped, frames skipped, delay, the encoder's target); counts only when there are any.
// lineFailure: why the line cannot be taken again (a server certificate that fails its check),
// shown right after the state; empty for none.
StatusParts BroadcastStatusParts(const OcelixStats& stats, const DeviceNotes& devices,
                                 const OcelixLocalCopy& copy = {},
                                 const StatusPart& lineFailure = {});

// The parts, most important first, each on the first line with room for it (two spaces between
// parts of a line), in a box `width` pixels wide and `lines` lines high. A part with room
// nowhere is left out (its brief form when that fits instead); the first one is always shown.
QString FitStatusParts(const StatusParts& parts, const QFontMetrics& metrics, int width, int lines);

// How many lines of its font the label holds (at least one).
int LabelLines(const QLabel& label);

}  // namespace app
