#include "local_copy.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "basis/thread_name.h"
#include "send_queue.h"

namespace ocelix {
namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool LocalCopy::Core::Start(const std::shared_ptr<Core>& self, const std::string& path,
                            const Mp4Tracks& tracks) {
    std::lock_guard<std::mutex> lock(lock_);
    if (thread_.joinable() || state_ != OCELIX_COPY_OFF)
        return false;
    int error = 0;
    const int64_t free = FreeBytesAt(path, &error);
    if (free >= 0 && free < limits_.minFreeBytes) {
        state_ = OCELIX_COPY_DISK_FULL;
        error_ = NoSpaceError();
        return false;
    }
    // A folder whose free space cannot be read is left to the file's creation to judge.
    file_ = CreateCopyFile(path, &error);
    if (!file_) {
        state_ = OCELIX_COPY_FAILED;
        error_ = error;
        return false;
    }
    path_ = file_->Path();
    writer_ = std::make_unique<Mp4Writer>(
        tracks, [this](std::span<const uint8_t> bytes) { return Output(bytes); });
    lastFreeCheckMs_ = SteadyMs();
    state_ = OCELIX_COPY_RECORDING;
    stopping_ = false;
    thread_ = std::thread([self] { self->WriterThread(); });
    return true;
}

void LocalCopy::Core::Put(int type, int64_t stampMs, bool key, std::span<const uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (state_ != OCELIX_COPY_RECORDING || stopping_)
            return;
    }
    // The copy is made outside the lock, so the writer is never held up by it.
    Item item{type, stampMs, key, std::vector<uint8_t>(bytes.begin(), bytes.end())};
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (state_ != OCELIX_COPY_RECORDING || stopping_)
            return;
        const bool tooMany =
            queuedBytes_ + static_cast<int64_t>(bytes.size()) > limits_.maxQueuedBytes;
        const bool tooOld =
            !queue_.empty() && stampMs - queue_.front().stampMs > limits_.maxQueuedMs;
        if (tooMany || tooOld) {
            // The disk is behind: what waits is given up and the file ends where it is.
            state_ = OCELIX_COPY_TOO_SLOW;
            queue_.clear();
            queuedBytes_ = 0;
        } else {
            queuedBytes_ += static_cast<int64_t>(item.bytes.size());
            queue_.push_back(std::move(item));
        }
    }
    changed_.notify_all();
}

void LocalCopy::Core::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (!thread_.joinable())
        return;
    std::unique_lock<std::mutex> lock(lock_);
    if (changed_.wait_for(lock, std::chrono::milliseconds(limits_.stopWaitMs),
                          [this] { return finished_; })) {
        lock.unlock();
        thread_.join();
        return;
    }
    // The disk does not answer: the copy ends here, and its writer closes the file on its own
    // (it holds this core) once the disk answers.
    if (state_ == OCELIX_COPY_RECORDING)
        state_ = OCELIX_COPY_TOO_SLOW;
    queue_.clear();
    queuedBytes_ = 0;
    lock.unlock();
    thread_.detach();
}

OcelixLocalCopy LocalCopy::Core::Status() const {
    OcelixLocalCopy s{};
    std::lock_guard<std::mutex> lock(lock_);
    s.state = state_;
    s.systemError = error_;
    s.bytesWritten = bytesWritten_;
    const size_t n = std::min(path_.size(), sizeof s.path - 1);
    path_.copy(s.path, n);
    s.path[n] = '\0';
    return s;
}

void LocalCopy::Core::EndWith(int state, int error) {
    std::lock_guard<std::mutex> lock(lock_);
    if (state_ != OCELIX_COPY_RECORDING)
        return;
    state_ = state;
    error_ = error;
    queue_.clear();
    queuedBytes_ = 0;
}

bool LocalCopy::Core::Output(std::span<const uint8_t> bytes) {
    int error = 0;
    uint64_t before = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        before = bytesWritten_;
    }
    if (!file_->Write(bytes, &error)) {
        // The piece that did not fit goes again, so the file ends with a whole fragment.
        int ignored = 0;
        file_->Truncate(before, &ignored);
        EndWith(OCELIX_COPY_DISK_FULL, error);
        return false;
    }
    std::lock_guard<std::mutex> lock(lock_);
    bytesWritten_ += bytes.size();
    return true;
}

bool LocalCopy::Core::EnoughSpace() {
    const int64_t now = SteadyMs();
    if (now - lastFreeCheckMs_ < limits_.freeCheckPeriodMs)
        return true;
    lastFreeCheckMs_ = now;
    int error = 0;
    const int64_t free = file_->FreeBytes(&error);
    return free < 0 || free >= limits_.minFreeBytes;
}

void LocalCopy::Core::WriterThread() {
    basis::NameThisThread("ocelix-copy");
    KeepFileSizeLimitAnError();
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] {
                return !queue_.empty() || stopping_ || state_ != OCELIX_COPY_RECORDING;
            });
            if (queue_.empty())
                break;  // stopping, or ended early
            item = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= static_cast<int64_t>(item.bytes.size());
        }
        if (limits_.beforeWrite)
            limits_.beforeWrite();
        if (!EnoughSpace()) {
            EndWith(OCELIX_COPY_DISK_FULL, NoSpaceError());
            break;
        }
        const bool ok = item.type == kVideoType
                            ? writer_->AddVideo(item.stampMs, item.key, item.bytes)
                            : writer_->AddAudio(item.stampMs, item.bytes);
        if (!ok)
            break;
    }
    // The end of the file, unless writing failed; a file that never started goes again. A
    // failure the disk did not cause is the muxer's.
    const bool finished = writer_->Finish();
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        empty = bytesWritten_ == 0;
    }
    // Nothing a player could open (a file that never started, or whose first piece did not
    // fit): no file.
    if (!writer_->Started() || empty) {
        file_->Remove();
        std::lock_guard<std::mutex> lock(lock_);
        path_.clear();
    }
    file_.reset();
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (state_ == OCELIX_COPY_RECORDING)
            state_ = finished ? OCELIX_COPY_ENDED : OCELIX_COPY_FAILED;
        finished_ = true;
    }
    changed_.notify_all();
}

}  // namespace ocelix
