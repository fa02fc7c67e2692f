#include "patch/checksum.h"

#include <cstdlib>
#include <utility>

// Compiled into this file alone: nothing of xxHash is linked from a library.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {
XXH3_state_t* stateOf(void* state) {
    return static_cast<XXH3_state_t*>(state);
}
} // namespace

std::uint64_t checksumOf(const void* data, std::size_t count) {
    return XXH3_64bits(data, count);
}

RunningChecksum::RunningChecksum() : state_(XXH3_createState()) {
    // Like a failed allocation anywhere else in the program: the run ends at once.
    if (state_ == nullptr)
        std::abort();
    XXH3_64bits_reset(stateOf(state_));
}

RunningChecksum::RunningChecksum(RunningChecksum&& other) noexcept : state_(nullptr) {
    std::swap(state_, other.state_);
}

RunningChecksum& RunningChecksum::operator=(RunningChecksum&& other) noexcept {
    std::swap(state_, other.state_);
    return *this;
}

RunningChecksum::~RunningChecksum() {
    XXH3_freeState(stateOf(state_));
}

void RunningChecksum::add(const void* data, std::size_t count) {
    if (count > 0)
        XXH3_64bits_update(stateOf(state_), data, count);
}

std::uint64_t RunningChecksum::value() const {
    return XXH3_64bits_digest(stateOf(state_));
}
