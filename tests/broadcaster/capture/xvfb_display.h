// A private Xvfb server for screen-capture tests: started on a free display number, ready when it
// accepts connections, ended by the destructor (the child process's).
#pragma once

#include <csignal>
#include <string>

#include "support/child_process.h"

namespace capture::test {

class XvfbDisplay {
  public:
    // Starts `Xvfb :N -screen 0 <screen> -nolisten tcp -noreset` (screen like "320x240x24") on
    // display `number`, or on a free one when it is negative. True once it accepts connections.
    bool Start(const std::string& screen, int number = -1);
    // Ends the server and waits for it.
    void Stop() { server_.Stop(SIGTERM); }
    std::string Name() const { return ":" + std::to_string(number_); }

  private:
    rtmp::test::TempDir dir_{"xvfb"};  // holds what the server writes to its standard output
    rtmp::test::ChildProcess server_;
    int number_ = -1;
};

}  // namespace capture::test
