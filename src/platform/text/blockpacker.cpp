#include "platform/text/blockpacker.h"

#include <QtGlobal>

#include <cstring>
#include <new>
#include <vector>

#include <zstd.h>

namespace {

// zstd at level 1. On blocks of 8 KB of log text (the unit's readings; system logs) it
// shrinks them 5 to 8 times, packs one in about 10 us and unpacks it in 3 to 5 us. lz4,
// the other fast choice, packs and unpacks three to five times faster but shrinks the
// same text only 3 to 5 times; the text is packed once and then kept for good, so what
// it keeps decides the memory. Faster (negative) levels of zstd give up a fifth of the
// shrinking for a quarter less time; level 3 gains nothing on such text.
constexpr int kLevel = 1;

} // namespace

struct BlockPacker::Contexts {
    ZSTD_CCtx* packing = ZSTD_createCCtx();
    ZSTD_DCtx* unpacking = ZSTD_createDCtx();
    std::vector<char> scratch;
    ~Contexts() {
        ZSTD_freeCCtx(packing);
        ZSTD_freeDCtx(unpacking);
    }
};

BlockPacker::BlockPacker() = default;
BlockPacker::~BlockPacker() = default;

std::unique_ptr<char[]> BlockPacker::pack(const char* data, std::int64_t size,
                                          std::int64_t& packedBytes) {
    if (!contexts_)
        contexts_ = std::make_unique<Contexts>();
    Contexts& c = *contexts_;
    if (!c.packing || !c.unpacking)
        throw std::bad_alloc();
    const auto n = static_cast<std::size_t>(size);
    c.scratch.resize(ZSTD_compressBound(n));
    const std::size_t made =
        ZSTD_compressCCtx(c.packing, c.scratch.data(), c.scratch.size(), data, n, kLevel);
    // With room for the bound, packing fails only when zstd cannot get memory.
    if (ZSTD_isError(made))
        throw std::bad_alloc();
    const bool shrank = made < n;
    packedBytes = static_cast<std::int64_t>(shrank ? made : n);
    auto out = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(packedBytes));
    std::memcpy(out.get(), shrank ? c.scratch.data() : data, static_cast<std::size_t>(packedBytes));
    return out;
}

void BlockPacker::unpack(const char* packed, std::int64_t packedBytes, char* to,
                         std::int64_t size) {
    const auto n = static_cast<std::size_t>(size);
    if (packedBytes == size) {
        std::memcpy(to, packed, n);
        return;
    }
    if (!contexts_)
        contexts_ = std::make_unique<Contexts>();
    const std::size_t got = ZSTD_decompressDCtx(contexts_->unpacking, to, n, packed,
                                                static_cast<std::size_t>(packedBytes));
    // Only memory overwritten by someone else could make a block we packed unreadable.
    if (ZSTD_isError(got) || got != n)
        qFatal("text store: a packed block cannot be unpacked (%s)", ZSTD_getErrorName(got));
}

namespace {

// Blocks handed over that wake the packing thread.
constexpr std::size_t kBatch = 16;

} // namespace

PackingThread::~PackingThread() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PackingThread::pack(std::shared_ptr<Job> job) {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        // Waking the thread for every block would cost more than packing it: it is woken
        // for a batch, and packs on as long as there is work.
        wake = queue_.size() >= kBatch;
    }
    if (wake)
        work_.notify_one();
}

void PackingThread::wait(const Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    work_.notify_one();
    finished_.wait(lock, [&] { return job.done.load(std::memory_order_acquire); });
}

void PackingThread::run() {
    BlockPacker packer;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        const std::shared_ptr<Job> job = queue_.front();
        queue_.pop_front();
        lock.unlock();
        try {
            job->packed = packer.pack(job->bytes.get(), job->size, job->packedBytes);
        } catch (const std::bad_alloc&) {
            job->packedBytes = 0; // not packed: whoever takes it keeps the bytes as they are
        }
        lock.lock();
        job->done.store(true, std::memory_order_release);
        finished_.notify_all();
    }
}
