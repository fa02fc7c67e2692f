#include "apply/patch_reader.h"
#include "jobs/job_run.h"

#ifdef __SANITIZE_ADDRESS__
#include <atomic>

// From the sanitizer runtime (GCC ships no header for them).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, std::size_t),
                                              void (*onFree)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}

namespace {

// The heap the runs take beyond what was live before them, at its highest.
std::atomic<bool> tracking{false};
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void onMalloc(const volatile void*, std::size_t size) {
    if (!tracking.load(std::memory_order_relaxed))
        return;
    std::int64_t live =
        liveBytes.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
    std::int64_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
}

void onFree(const volatile void* pointer) {
    if (tracking.load(std::memory_order_relaxed) && pointer != nullptr)
        liveBytes.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(pointer)));
}

class MemoryBound : public JobRun {
  protected:
    void aroundRun(bool starting) const override {
        liveBytes = 0;
        peakBytes = starting ? 0 : peakBytes.load();
        tracking = starting;
    }
};

// A patch of a million one-byte blocks, twice the size of a window of the patch: applying it,
// undoing it and finding it applied all stay within a bound far below what holding its blocks
// would take.
TEST_F(MemoryBound, ManyShortBlocksStayWithinTheWindowsBound) {
    std::string original(9 << 20, '\0');
    for (std::size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<char>(i * 131 + (i >> 9));
    std::string patched = original;
    for (std::size_t i = 0; i < patched.size(); i += 9)
        patched[i] = static_cast<char>(~patched[i]);
    write("t.bin", original);
    write("t.new", patched);
    ASSERT_EQ(runJob({"--original", "t.bin", "--patched", "t.new", "--patch", "fix.pat"}).code, 0);
    std::uint64_t patchSize = sizeOfFile(folder / "fix.pat");
    ASSERT_GT(patchSize, 2 * PATCH_WINDOW);

    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    const std::vector<std::string> APPLY = {"--patch", "fix.pat"};
    const std::vector<std::string> REVERSE = {"--patch", "fix.pat", "--reverse"};
    for (const std::vector<std::string>* command : {&APPLY, &APPLY, &REVERSE}) {
        JobResult result = runJob(*command);
        EXPECT_TRUE(result.code == 0 || result.code == 9) << result.err;
        // Holding every block would take more than 50 MiB here (under the sanitizer, whose
        // realloc copies): 16 bytes each for its place, and its bytes.
        EXPECT_LT(peakBytes.load(), 20 << 20);
    }
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    EXPECT_TRUE(read("t.bin") == original);
}

} // namespace
#endif
