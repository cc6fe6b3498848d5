// What the console program needs of its terminal: text out as it is written, and a way to hear
// that the user asked it to stop.
#pragma once

#include <string>
#include <vector>

namespace app::platform {

// The program's arguments, its name first, as UTF-8: on Linux argv as given; on Windows read
// again from the UTF-16 command line, because argv holds them in the ANSI code page (a folder
// with Chinese characters in its name would not survive that on a system set to another one).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Sets up standard output for the console program: the locale's character set on Linux, UTF-8
// on Windows (the console's code page is set back at the end); each line reaches the terminal
// (or a pipe) as soon as it ends.
void PrepareConsole();

// Calls onStop (which must only set a flag) when the user asks the program to end: SIGINT or
// SIGTERM on Linux; Ctrl+C, Ctrl+Break or the console window's closing on Windows.
void CallOnStopRequest(void (*onStop)());

}  // namespace app::platform
