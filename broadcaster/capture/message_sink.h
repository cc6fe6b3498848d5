// Where texts meant for the user go: capture and the application have no say in how they are
// shown (a box in the window, a line in the console).
#pragma once

#include <string>

namespace capture {

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace capture
