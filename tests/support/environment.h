// The test program's environment variables, as the libraries (and the children it starts) see
// them, and its process id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rtmp::test {

std::optional<std::string> GetEnvironment(const std::string& name);
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);
int64_t OwnProcessId();

}  // namespace rtmp::test
