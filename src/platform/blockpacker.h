#pragma once

#include <cstdint>
#include <memory>

// Compresses blocks of text (a few tens of kilobytes each) and gives them back, for text
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
