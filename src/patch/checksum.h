// XXH3-64 with seed 0, from xxHash: the checksum that ends a patch in the second format, and
// how a patch's contents are recognised again (checked chunks, resume records).
#pragma once

#include <cstddef>
#include <cstdint>

std::uint64_t checksumOf(const void* data, std::size_t count);

// The checksum of bytes handed in over time, in order; the same value as checksumOf of them all.
class RunningChecksum {
  public:
    RunningChecksum();
    RunningChecksum(RunningChecksum&& other) noexcept;
    RunningChecksum& operator=(RunningChecksum&& other) noexcept;
    RunningChecksum(const RunningChecksum&) = delete;
    RunningChecksum& operator=(const RunningChecksum&) = delete;
    ~RunningChecksum();

    void add(const void* data, std::size_t count);
    std::uint64_t value() const;

  private:
    void* state_; // xxHash's streaming state
};
