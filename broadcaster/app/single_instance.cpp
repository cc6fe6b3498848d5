#include "app/single_instance.h"

#include <memory>
#include <mutex>

#include "app/platform/file_io.h"
#include "app/platform/file_lock.h"
#include "basis/translation.h"

namespace app {
namespace {

// The session's name for a file of the instance: in /tmp, shared by all users, it carries the
// user id.
std::string InstanceFile(const char* extension) {
    const std::string dir = platform::RuntimeFolder();
    std::string name = dir + platform::PathSeparator() + kInstanceMutexName;
    if (dir == "/tmp")
        name.append(1, '-').append(std::to_string(platform::UserId()));
    return name + extension;
}

}  // namespace

std::string InstanceLockPath() {
    return InstanceFile(".lock");
}

std::string InstanceSocketPath() {
    return InstanceFile(".sock");
}

InstanceCheck TakeInstanceLock() {
    // Once taken, the lock is held until the process ends.
    static std::mutex guard;
    static std::unique_ptr<platform::FileLock> held;
    const std::lock_guard<std::mutex> hold(guard);
    if (held)
        return {InstanceState::kFirst, ""};
    auto lock =
        std::make_unique<platform::FileLock>(InstanceLockPath(), platform::LockWait::kNever);
    if (lock->Busy())
        return {InstanceState::kRunning, ""};
    if (!lock->Held())
        return {InstanceState::kUnknown, lock->Error()};
    held = std::move(lock);
    return {InstanceState::kFirst, ""};
}

std::string RunningMessage() {
    return basis::Translate("instance", "程序正在运行，不能运行多个副本");
}

std::string UnknownInstanceMessage(const std::string& reason) {
    return basis::Translate("instance", "无法确认程序是否已在运行，程序不能启动: ") + reason;
}

std::string NotForwardedMessage(const std::string& reason) {
    return RunningMessage() + "\n" +
           basis::Translate("instance", "课堂地址未能交给正在运行的程序: ") + reason;
}

std::string NotListeningMessage(const std::string& reason) {
    return basis::Translate("instance", "以后启动时的课堂地址无法交给本窗口: ") + reason;
}

bool LaunchPeerTrusted(std::optional<unsigned> peerUid, unsigned ownUid) {
    return peerUid.has_value() && *peerUid == ownUid;
}

}  // namespace app
