// What the console program needs of its terminal: text out as it is written, and a way to hear
// that the user asked it to stop.
#pragma once

namespace app::platform {

// Sets up standard output for the console program: the locale's character set on Linux, UTF-8
// on Windows; each line reaches the terminal (or a pipe) as soon as it ends.
void PrepareConsole();

// Calls onStop (which must only set a flag) when the user asks the program to end: SIGINT or
// SIGTERM on Linux; Ctrl+C, Ctrl+Break or the console window's closing on Windows.
void CallOnStopRequest(void (*onStop)());

}  // namespace app::platform
