#include "app/ini_file.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "app/platform/file_io.h"
#include "app/platform/file_lock.h"
#include "basis/text.h"

namespace app {
namespace {

std::string Trim(const std::string& s) {
    return std::string(basis::TrimSpace(s));
}

using basis::EqualsIgnoringCase;

// One line of the file, split as the reader sees it.
struct Line {
    std::string text;    // without its line end
    std::string ending;  // "\n", "\r\n" or "" (last line without one)
};

// The lines of a file's text.
std::vector<Line> SplitLines(const std::string& all) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < all.size()) {
        const size_t nl = all.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = all.substr(pos);
            pos = all.size();
        } else {
            line.text = all.substr(pos, nl - pos);
            line.ending.assign(1, '\n');
            pos = nl + 1;
        }
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.ending.insert(line.ending.begin(), '\r');
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The file's lines; *error is set (and nothing returned) when the file exists but can't be read.
std::vector<Line> ReadLines(const std::string& path, std::string* error) {
    const platform::FileRead read = platform::ReadWholeFile(path);
    if (!read.error.empty()) {
        if (error != nullptr)
            *error = read.error;
        return {};
    }
    return SplitLines(read.text);
}

// Section name of a "[name]" line.
std::optional<std::string> SectionOf(const std::string& text) {
    const std::string t = Trim(text);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// Key of a "key=value" line (not a comment).
std::optional<std::string> KeyOf(const std::string& text, std::string* value) {
    const std::string t = Trim(text);
    if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[')
        return std::nullopt;
    const size_t eq = t.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    if (value != nullptr)
        *value = Trim(t.substr(eq + 1));
    return Trim(t.substr(0, eq));
}

std::optional<std::string> Find(const std::string& path, const std::string& section,
                                const std::string& key) {
    bool inSection = false;
    for (const Line& line : ReadLines(path, nullptr)) {
        if (auto s = SectionOf(line.text)) {
            inSection = EqualsIgnoringCase(*s, section);
            continue;
        }
        std::string value;
        if (inSection) {
            if (auto k = KeyOf(line.text, &value); k && EqualsIgnoringCase(*k, key))
                return value;
        }
    }
    return std::nullopt;
}

}  // namespace

int IniFile::GetInt(const std::string& section, const std::string& key, int def) const {
    const auto v = Find(path_, section, key);
    if (!v || v->empty())
        return def;
    const char* s = v->c_str();
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(s, &end, 10);
    // A number beyond int is no setting (cut to int, 4294968320 would read as 1024).
    if (end == s || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return def;
    return static_cast<int>(n);
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& def, size_t maxBytes) const {
    std::string v = Find(path_, section, key).value_or(def);
    if (v.size() > maxBytes)
        v.resize(maxBytes);
    return v;
}

std::string IniFile::ReadError() const {
    return platform::ReadWholeFile(path_).error;
}

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value, std::string* error) const {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    if (value.find_first_of("\r\n") != std::string::npos ||
        key.find_first_of("\r\n=[]") != std::string::npos ||
        section.find_first_of("\r\n[]") != std::string::npos) {
        return fail("line break or bracket in the value");
    }
    // One writer at a time, also across processes; the change is made to what is in the file
    // now, not to an older read.
    platform::FileLock lock(path_ + ".lock");
    if (!lock.Held())
        return fail(lock.Error());
    std::string readError;
    std::vector<Line> lines = ReadLines(path_, &readError);
    if (!readError.empty())
        return fail(readError);  // never replace a file that could not be read
    std::string ending(1, '\n');
    for (const Line& l : lines) {
        if (!l.ending.empty()) {
            ending = l.ending;
            break;
        }
    }
    const std::string newLine = key + "=" + value;
    bool inSection = false;
    long sectionEnd = -1;  // index after the last line of the wanted section
    bool done = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto s = SectionOf(lines[i].text)) {
            inSection = EqualsIgnoringCase(*s, section);
            if (inSection)
                sectionEnd = static_cast<long>(i) + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(lines[i].text).empty())
            sectionEnd = static_cast<long>(i) + 1;
        if (auto k = KeyOf(lines[i].text, nullptr); k && EqualsIgnoringCase(*k, key)) {
            lines[i].text = newLine;
            done = true;
        }
    }
    if (!done) {
        if (sectionEnd < 0) {
            if (!lines.empty() && lines.back().ending.empty())
                lines.back().ending = ending;
            lines.push_back({"[" + section + "]", ending});
            lines.push_back({newLine, ending});
        } else {
            const size_t at = static_cast<size_t>(sectionEnd);
            if (lines[at - 1].ending.empty())
                lines[at - 1].ending = ending;
            lines.insert(lines.begin() + static_cast<long>(at), Line{newLine, ending});
        }
    }
    std::string all;
    for (const Line& l : lines)
        all.append(l.text).append(l.ending);
    const std::string writeError = platform::ReplaceFileAtomically(path_, all);
    return writeError.empty() ? true : fail(writeError);
}

}  // namespace app
