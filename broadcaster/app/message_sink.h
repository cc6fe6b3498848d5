// Where the application's messages to the user go: a box in the window, a line in the console.
#pragma once

#include <string>

namespace app {

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace app
