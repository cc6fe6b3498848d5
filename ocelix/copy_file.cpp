#include "copy_file.h"

namespace ocelix {

std::string NumberedName(const std::string& path, int n) {
    if (n <= 1)
        return path;
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    // A dot that starts the name ("/x/.mp4") or sits in a folder name is no extension.
    if (dot == std::string::npos || dot <= nameStart)
        dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

}  // namespace ocelix
