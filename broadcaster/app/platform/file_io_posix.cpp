#include "app/platform/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/platform/process.h"

namespace app::platform {
namespace {

std::string Reason(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Makes every missing folder of path with mode 0700.
bool MakeMissingFolders(const std::string& path, std::string* error) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = Reason(part, errno);
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = path + ": not a folder";
        return false;
    }
    return true;
}

}  // namespace

char PathSeparator() {
    return '/';
}

FileRead ReadWholeFile(const std::string& path) {
    FileRead result;
    // Not blocking on open: a named pipe in the file's place must not hang the program.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            result.missing = true;
        else
            result.error = Reason(path, errno);
        return result;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.error = path + ": not a regular file";
        close(fd);
        return result;
    }
    char block[8192];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = Reason(path, errno);
            break;
        }
        if (n == 0)
            break;
        if (result.text.size() + static_cast<size_t>(n) > kMaxSettingsBytes) {
            result.error = path + ": file too large";
            break;
        }
        result.text.append(block, static_cast<size_t>(n));
    }
    close(fd);
    if (!result.error.empty())
        result.text.clear();
    return result;
}

std::string ReplaceFileAtomically(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = folder + "/." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return Reason(folder, errno);
    const std::string tempPath(temp.data());
    FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        const int e = errno;
        close(fd);
        unlink(tempPath.c_str());
        return Reason(tempPath, e);
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    int e = ok ? 0 : errno;
    if (ok && std::fflush(out) != 0) {
        ok = false;
        e = errno;
    }
    if (ok && fsync(fileno(out)) != 0) {
        ok = false;
        e = errno;
    }
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && rename(tempPath.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        unlink(tempPath.c_str());
        return Reason(path, e != 0 ? e : EIO);
    }
    // The new name itself reaches the disk with the folder.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return {};
}

std::string UserConfigFolder(std::string* error) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg != nullptr && *xdg == '/') {
        base = xdg;
    } else if (home != nullptr && *home == '/') {
        base = std::string(home) + "/.config";
    } else {
        *error = "no home folder (HOME is not set)";
        return {};
    }
    const std::string folder = base + "/tutorlane";
    return MakeMissingFolders(folder, error) ? folder : std::string();
}

std::string MakeFolders(const std::string& path) {
    std::string error;
    if (path.empty())
        return "no folder";
    MakeMissingFolders(path, &error);
    return error;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr && *home == '/' ? std::string(home) : std::string();
}

std::string VideosFolder() {
    const std::string home = HomeFolder();
    std::string videos;
    if (const auto named =
            RunForOutput({"xdg-user-dir", "VIDEOS"}, std::chrono::milliseconds(5000))) {
        videos = named->substr(0, named->find('\n'));
        while (videos.size() > 1 && videos.back() == '/')
            videos.pop_back();
    }
    // xdg-user-dir names the home folder when no videos folder is set up.
    if (videos.empty() || videos.front() != '/' || videos == home) {
        if (home.empty())
            return {};
        videos = home + "/Videos";
    }
    return videos;
}

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && *runtime == '/' ? std::string(runtime) : std::string("/tmp");
}

unsigned UserId() {
    return static_cast<unsigned>(geteuid());
}

FileFailure ClassifyFileError(int systemError) {
    switch (systemError) {
        case EACCES:
        case EPERM:
        case EROFS:
            return FileFailure::kNoAccess;
        case ENOENT:
        case ENOTDIR:
            return FileFailure::kNoFolder;
        case ENOSPC:
        case EDQUOT:
            return FileFailure::kNoSpace;
        case EFBIG:
            return FileFailure::kTooLarge;
        case ENAMETOOLONG:
            return FileFailure::kNameTooLong;
        default:
            return FileFailure::kOther;
    }
}

}  // namespace app::platform
