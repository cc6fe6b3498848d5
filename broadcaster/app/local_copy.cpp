#include "app/local_copy.h"

#include <cstdio>
#include <cstring>

#include "app/platform/file_io.h"
#include "app/platform/local_time.h"
#include "basis/translation.h"

namespace app {
namespace {

using platform::FileFailure;

constexpr char kFolderName[] = "Tutorlane";

bool EndedEarly(const OcelixLocalCopy& copy) {
    return copy.state == OCELIX_COPY_DISK_FULL || copy.state == OCELIX_COPY_TOO_SLOW;
}

// Why a file could not be made, from the system's error.
std::string FailureText(int error) {
    switch (platform::ClassifyFileError(error)) {
        case FileFailure::kNoAccess:
            return basis::Translate("local_copy", "文件夹不可写入");
        case FileFailure::kNoFolder:
            return basis::Translate("local_copy", "文件夹无法创建");
        case FileFailure::kNoSpace:
        case FileFailure::kTooLarge:
            return basis::Translate("local_copy", "磁盘空间不足");
        case FileFailure::kNameTooLong:
            return basis::Translate("local_copy", "路径太长");
        case FileFailure::kOther:
            break;
    }
    return basis::Translate("local_copy", "无法写入文件");
}

}  // namespace

std::string DefaultLocalCopyFolder() {
    const std::string videos = platform::VideosFolder();
    return videos.empty() ? std::string() : videos + platform::PathSeparator() + kFolderName;
}

std::string LocalCopyFileName(const std::string& classroom, const std::tm& start) {
    std::string name = classroom.substr(0, kClassroomNameBytes);
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!plain)
            c = '_';
    }
    if (name.empty())
        name = "classroom";
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &start) == 0)
        stamp[0] = '\0';
    return name + "-" + stamp + ".mp4";
}

void PrepareLocalCopy(capture::BroadcastSettings& s, const std::string& classroom,
                      std::time_t now) {
    s.localCopyPath.clear();
    if (s.LocalCopy == 0)
        return;
    std::string folder = s.LocalCopyFolder.empty() ? DefaultLocalCopyFolder() : s.LocalCopyFolder;
    if (folder.empty())
        folder.push_back('.');  // no home folder: beside the program, or the encoder says why
    while (folder.size() > 1 &&
           (folder.back() == '/' || folder.back() == platform::PathSeparator()))
        folder.pop_back();
    platform::MakeFolders(folder);  // a failure shows as the encoder's
    s.localCopyPath =
        folder + platform::PathSeparator() + LocalCopyFileName(classroom, platform::LocalTime(now));
}

std::string CopySizeText(uint64_t bytes) {
    char text[32];
    const double mb = static_cast<double>(bytes) / 1e6;
    if (mb < 999.95)
        std::snprintf(text, sizeof text, "%.1f MB", mb);
    else
        std::snprintf(text, sizeof text, "%.2f GB", mb / 1000);
    return text;
}

std::string CopyProblemText(const OcelixLocalCopy& copy) {
    switch (copy.state) {
        case OCELIX_COPY_FAILED:
            return FailureText(copy.systemError);
        case OCELIX_COPY_DISK_FULL:
            // A write the disk refused: no room, a file larger than the disk takes (FAT's
            // 4 GiB), or a disk that failed or was taken away.
            if (copy.systemError == 0)
                return basis::Translate("local_copy", "磁盘空间不足");
            switch (platform::ClassifyFileError(copy.systemError)) {
                case FileFailure::kTooLarge:
                    return basis::Translate("local_copy", "文件超出磁盘允许的大小");
                case FileFailure::kNoSpace:
                    return basis::Translate("local_copy", "磁盘空间不足");
                default:
                    return basis::Translate("local_copy", "无法写入磁盘");
            }
        case OCELIX_COPY_TOO_SLOW:
            return basis::Translate("local_copy", "磁盘太慢");
        default:
            return {};
    }
}

std::string CopyStatusText(const OcelixLocalCopy& copy) {
    const std::string brief = CopyStatusBrief(copy);
    if (copy.state == OCELIX_COPY_RECORDING)
        return brief + " " + CopySizeText(copy.bytesWritten);
    if (brief.empty())
        return brief;
    //: What happened to the local copy, then why.
    return basis::Substitute(basis::Translate("local_copy", "%1：%2"),
                             {brief, CopyProblemText(copy)});
}

std::string CopyStatusBrief(const OcelixLocalCopy& copy) {
    switch (copy.state) {
        case OCELIX_COPY_RECORDING:
            return basis::Translate("local_copy", "本地录制中");
        case OCELIX_COPY_FAILED:
            return basis::Translate("local_copy", "未能本地录制");
        case OCELIX_COPY_DISK_FULL:
        case OCELIX_COPY_TOO_SLOW:
            // Without a file the copy never began (too little space at the start).
            return CopyPath(copy).empty() ? basis::Translate("local_copy", "未能本地录制")
                                          : basis::Translate("local_copy", "本地录制已停止");
        default:
            return {};
    }
}

std::string CopyEndQuestion(const OcelixLocalCopy& copy) {
    const std::string path = CopyPath(copy);
    const bool kept =
        copy.state == OCELIX_COPY_ENDED || copy.state == OCELIX_COPY_RECORDING || EndedEarly(copy);
    if (!kept || path.empty() || copy.bytesWritten == 0)
        return {};
    const std::string size = CopySizeText(copy.bytesWritten);
    const std::string where =
        EndedEarly(copy)
            ? basis::Substitute(
                  basis::Translate("local_copy", "本地录制提前停止（%1），已录下的 %2 保存在："),
                  {CopyProblemText(copy), size})
            : basis::Substitute(basis::Translate("local_copy", "本课的录像（%1）已保存在："),
                                {size});
    return where + "\n" + path + "\n" + basis::Translate("local_copy", "打开所在的文件夹吗？");
}

std::string CopyConsoleLine(const OcelixLocalCopy& copy, bool wanted, bool atEnd) {
    if (!wanted)
        return basis::Translate("local_copy", "本地录像: 已关闭");
    const std::string path = CopyPath(copy);
    if (copy.state == OCELIX_COPY_FAILED || copy.state == OCELIX_COPY_OFF || path.empty()) {
        const std::string why = CopyProblemText(copy);
        std::string line = basis::Translate("local_copy", "没有本地录像");
        if (!why.empty())
            line += ": " + why;
        if (!path.empty())
            line += " (" + path + ")";
        return line;
    }
    if (!atEnd)
        return basis::Translate("local_copy", "本地录像: ") + path;
    const std::string how =
        EndedEarly(copy) ? basis::Translate("local_copy", "提前停止: ") + CopyProblemText(copy)
                         : std::string(basis::Translate("local_copy", "已保存"));
    return basis::Translate("local_copy", "本地录像: ") + path + " (" +
           CopySizeText(copy.bytesWritten) + ", " + how + ")";
}

std::string CopyPath(const OcelixLocalCopy& copy) {
    return std::string(copy.path, strnlen(copy.path, sizeof copy.path));
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of(std::string("/") + platform::PathSeparator());
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace app
