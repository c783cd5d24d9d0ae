#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// Compresses blocks of text (a few kilobytes each) and gives them back, for text
// that is kept but seldom read. A block that does not shrink is kept as it is: the
// packed form of `size` bytes is then exactly `size` bytes long.
class BlockPacker {
public:
    BlockPacker();
    ~BlockPacker();
    BlockPacker(const BlockPacker&) = delete;
    BlockPacker& operator=(const BlockPacker&) = delete;

    // The packed form of `size` bytes at `data`, in a buffer of exactly `packedBytes`.
    std::unique_ptr<char[]> pack(const char* data, std::int64_t size, std::int64_t& packedBytes);
    // Unpacks what pack() made of `size` bytes into `to` (room for `size` bytes).
    void unpack(const char* packed, std::int64_t packedBytes, char* to, std::int64_t size);

private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts_; // made on first use
};

// Packs blocks on a thread of its own (started on first use), so that the thread that
// hands them over pays only for a copy of each. Jobs are done in the order given, a few
// at a time: a job may wait for others before the thread starts on it (wait() starts it).
class PackingThread {
public:
    struct Job {
        std::unique_ptr<char[]> bytes;  // what to pack: only read once handed over
        std::int64_t size = 0;
        std::unique_ptr<char[]> packed; // the result, to be taken once done
        std::int64_t packedBytes = 0;   // 0 when there was no memory to pack it
        std::atomic<bool> done{false};
    };

    PackingThread() = default;
    ~PackingThread(); // stops the thread; jobs not done yet are dropped
    PackingThread(const PackingThread&) = delete;
    PackingThread& operator=(const PackingThread&) = delete;

    void pack(std::shared_ptr<Job> job);
    // Returns once `job` (handed over before) is done.
    void wait(const Job& job);

private:
    void run();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool stopping_ = false;
};
