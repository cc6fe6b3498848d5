// The name a thread shows in debuggers and process listings.
#pragma once

namespace basis {

// Names the calling thread (at most 15 characters are kept).
void NameThisThread(const char* name);

}  // namespace basis
