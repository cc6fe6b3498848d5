// The local copy: the encoded packets of a broadcast, written beside it into an MP4 file by a
// thread of its own. Put only copies a packet into a bounded queue, so the encoding and sending
// threads never wait for the disk: when the disk falls behind by more than the bounds allow,
// the copy ends (TOO_SLOW) and the broadcast goes on. A full disk, a write error or too little
// free space end it too (DISK_FULL); each way the file stays playable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codecs/mp4_writer.h"
#include "copy_file.h"
#include "ocelix/ocelix.h"

namespace ocelix {

struct LocalCopyLimits {
    int64_t maxQueuedBytes = 64 << 20;  // bytes waiting for the disk
    int64_t maxQueuedMs = 10000;        // media time waiting for the disk
    int64_t minFreeBytes = int64_t{1} << 30;
    int freeCheckPeriodMs = 2000;  // how often the free space is looked at while writing
    // How long a stop waits for a disk that does not answer.
    int stopWaitMs = 3000;
    // Called by the writer before each packet (tests hold the disk up with it).
    std::function<void()> beforeWrite{};
};

class LocalCopy {
  public:
    explicit LocalCopy(LocalCopyLimits limits = {})
        : core_(std::make_shared<Core>(std::move(limits))) {}
    ~LocalCopy() { Stop(); }
    LocalCopy(const LocalCopy&) = delete;
    LocalCopy& operator=(const LocalCopy&) = delete;

    // Creates the file (see CreateCopyFile) and starts the writer. False when there is no copy:
    // the state says why (FAILED, or DISK_FULL when the disk is below the free-space bound).
    bool Start(const std::string& path, const Mp4Tracks& tracks) {
        return core_->Start(core_, path, tracks);
    }
    // One encoded packet (type 9 video, 8 audio) at its media time. Returns at once.
    void Put(int type, int64_t stampMs, bool key, std::span<const uint8_t> bytes) {
        core_->Put(type, stampMs, key, bytes);
    }
    // Writes what is queued and the end of the file; the state becomes ENDED unless the copy
    // ended before. Returns when the file is closed, or after stopWaitMs (limits) when the disk
    // does not answer: the copy then ends (TOO_SLOW) and its writer closes the file on its own
    // once the disk answers.
    void Stop() { core_->Stop(); }
    // State, size and path, from any thread.
    OcelixLocalCopy Status() const { return core_->Status(); }

  private:
    // Everything the writer thread uses, shared with it, so that a writer left behind by a
    // stop outlives the copy.
    struct Core {
        explicit Core(LocalCopyLimits limits) : limits_(std::move(limits)) {}
        bool Start(const std::shared_ptr<Core>& self, const std::string& path,
                   const Mp4Tracks& tracks);
        void Put(int type, int64_t stampMs, bool key, std::span<const uint8_t> bytes);
        void Stop();
        OcelixLocalCopy Status() const;

        struct Item {
            int type;
            int64_t stampMs;
            bool key;
            std::vector<uint8_t> bytes;
        };
        void WriterThread();
        // Writes one piece of the file; on failure the file is cut back to its last whole piece.
        bool Output(std::span<const uint8_t> bytes);
        bool EnoughSpace();
        // Ends the copy with `state` unless it ended already.
        void EndWith(int state, int error);

        LocalCopyLimits limits_;
        std::unique_ptr<CopyFile> file_;  // the writer's once started
        std::unique_ptr<Mp4Writer> writer_;
        int64_t lastFreeCheckMs_ = 0;
        mutable std::mutex lock_;
        std::condition_variable changed_;
        std::deque<Item> queue_;       // guarded by lock_
        int64_t queuedBytes_ = 0;      // guarded by lock_
        bool stopping_ = false;        // guarded by lock_
        bool finished_ = false;        // the writer has closed the file; guarded by lock_
        int state_ = OCELIX_COPY_OFF;  // guarded by lock_
        int error_ = 0;                // guarded by lock_
        uint64_t bytesWritten_ = 0;    // guarded by lock_
        std::string path_;             // guarded by lock_
        std::thread thread_;
    };
    std::shared_ptr<Core> core_;
};

}  // namespace ocelix
