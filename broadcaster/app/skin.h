// The skin: a Qt style sheet read from the skin file and applied to the whole application.
#pragma once

#include <QString>

namespace app {

constexpr char kSkinFile[] = "face.dll";

// Applies the style sheet in path; a missing or unreadable file leaves the default look.
void StartSkin(const QString& path);
// Back to the default look.
void StopSkin();

}  // namespace app
