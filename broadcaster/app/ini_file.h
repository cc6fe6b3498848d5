// Private-profile (ini) file access: case-insensitive sections and keys, the first of
// duplicate keys wins, and a write changes one line while every other byte stays as it was.
// A missing file reads as empty.
#pragma once

#include <string>

namespace app {

class IniFile {
  public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }
    // Integer value (leading decimal digits, optional sign), or def when absent, not a number or
    // beyond int's range.
    int GetInt(const std::string& section, const std::string& key, int def) const;
    // Text value with surrounding blanks removed, at most maxBytes bytes, or def when absent.
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& def, size_t maxBytes) const;
    // Sets key in section (adding the section or the key when missing). Values holding CR or
    // LF are refused. The file is replaced as a whole (a new file in the same folder, synced,
    // then renamed over it), under a lock that writers in other processes take too; a file
    // that exists but can't be read is never replaced. False, with the reason in *error, when
    // nothing was written.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                     std::string* error = nullptr) const;
    // Why the file can't be read; "" when it can or doesn't exist.
    std::string ReadError() const;

  private:
    std::string path_;
};

}  // namespace app
