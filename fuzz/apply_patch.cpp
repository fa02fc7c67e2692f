// The whole program run as `morvane --patch patch.bin` (and again with --reverse) over an
// arbitrary patch file, against a small file target.bin in a scratch folder. Every run must end
// with code 0 or one of codes 4 to 10; no file may grow; a run that does not end with 0 must
// leave every file byte for byte as it was; and no allocation may exceed a small multiple of
// the patch file's size. When the patch names target.bin, the code and the patched file must
// also be exactly those that the patch's rules give.
#include "fuzz_support.h"

#include "app/run.h"
#include "services/console.h"

#include <algorithm>
#include <atomic>
#include <sanitizer/allocator_interface.h>

namespace {

const char PATCH_NAME[] = "patch.bin";
const char TARGET_NAME[] = "target.bin";
const std::size_t TARGET_SIZE = 64;

std::string folder;
fuzz::Bytes target;

// Allocation accounting for the run under test. A single request above the limit aborts at
// once, with the allocation's stack; the peak of live bytes is checked after the run.
std::atomic<bool> tracking{false};
std::atomic<std::size_t> singleLimit{0};
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void onMalloc(const volatile void*, std::size_t size) {
    if (!tracking.load(std::memory_order_relaxed))
        return;
    if (size > singleLimit.load(std::memory_order_relaxed)) {
        tracking = false;
        fuzz::fail("allocation of " + std::to_string(size) + " bytes for a patch file of " +
                   std::to_string(singleLimit.load()) + " bytes or less allowed");
    }
    std::int64_t live =
        liveBytes.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
    std::int64_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
}

void onFree(const volatile void* pointer) {
    if (!tracking.load(std::memory_order_relaxed) || pointer == nullptr)
        return;
    liveBytes.fetch_sub(
        static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<void*>(pointer))));
}

// Fixed costs of a run (read buffers, names, the check of the program's own file), and the
// factor for what grows with the patch (blocks and their bookkeeping).
const std::size_t FIXED_ALLOWANCE = 1 << 20;
const std::size_t SIZE_FACTOR = 16;

int runProgram(bool reverse) {
    std::vector<const char*> argv = {"morvane", "--patch", PATCH_NAME};
    if (reverse)
        argv.push_back("--reverse");
    argv.push_back(nullptr);
    try {
        return runMorvane(static_cast<int>(argv.size() - 1), argv.data());
    } catch (const RunEnded& end) {
        return end.code;
    }
}

// The outcome the patch's rules give when it names target.bin; `expected` receives the file
// as it must be after a run that ends with 0.
int referenceOutcome(const fuzz::ReferencePatch& patch, bool reverse, fuzz::Bytes& expected) {
    if (patch.status != fuzz::ReferenceStatus::Valid)
        return 8;
    if (patch.fileSize != TARGET_SIZE)
        return 6;
    bool matchesOriginal = true;
    bool matchesPatched = true;
    for (const fuzz::ReferenceBlock& block : patch.blocks) {
        const fuzz::Bytes& original = reverse ? block.patched : block.original;
        const fuzz::Bytes& patched = reverse ? block.original : block.patched;
        std::size_t length = original.size();
        bool inside = block.offset <= TARGET_SIZE && length <= TARGET_SIZE - block.offset;
        fuzz::Bytes found;
        if (inside)
            found.assign(target.begin() + block.offset,
                         target.begin() + block.offset + static_cast<std::ptrdiff_t>(length));
        if (!inside || found != original)
            matchesOriginal = false;
        if (!inside || found != patched)
            matchesPatched = false;
        if (!matchesOriginal && !matchesPatched)
            return 10;
    }
    if (matchesPatched)
        return 9;
    expected = target;
    for (const fuzz::ReferenceBlock& block : patch.blocks) {
        const fuzz::Bytes& patched = reverse ? block.original : block.patched;
        std::copy(patched.begin(), patched.end(), expected.begin() + block.offset);
    }
    return 0;
}

void checkFile(const char* name, const fuzz::Bytes& before, int code) {
    fuzz::Bytes after;
    if (!fuzz::readFile(name, after))
        fuzz::fail(std::string(name) + " has gone");
    if (after.size() > before.size())
        fuzz::fail(std::string(name) + " has grown from " + std::to_string(before.size()) + " to " +
                   std::to_string(after.size()) + " bytes");
    if (code != 0 && after != before)
        fuzz::fail(std::string(name) + " was changed by a run that ended with code " +
                   std::to_string(code));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = fuzz::enterScratchFolder("apply_patch");
    for (std::size_t i = 0; i < TARGET_SIZE; ++i)
        target.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    if (!__sanitizer_install_malloc_and_free_hooks(onMalloc, onFree))
        fuzz::fail("cannot install the allocation hooks");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ReferencePatch patch = fuzz::referenceRead(data, size);
    std::string name = patch.targetName.substr(0, patch.targetName.find('\0'));
    // A name with a '/' could reach any file on this machine: only names inside the folder.
    if (patch.status == fuzz::ReferenceStatus::Valid && name.find('/') != std::string::npos)
        return 0;
    fuzz::Bytes patchBytes(data, data + size);
    fuzz::InFolder inFolder(folder);

    // Files are written again only when a run may have changed them: any run that did not end
    // with 0 must have left both as they were, which checkFile makes sure of.
    static bool targetChanged = true;
    fuzz::writeFile(PATCH_NAME, data, size);
    for (bool reverse : {false, true}) {
        if (targetChanged)
            fuzz::writeFile(TARGET_NAME, target.data(), target.size());
        std::remove("PATCH.TXT");

        int freeDescriptor = fuzz::lowestFreeDescriptor();
        singleLimit = FIXED_ALLOWANCE + 4 * size;
        liveBytes = 0;
        peakBytes = 0;
        tracking = true;
        int code = runProgram(reverse);
        tracking = false;
        if (fuzz::lowestFreeDescriptor() != freeDescriptor)
            fuzz::fail("the run left a file open");

        if (code != 0 && (code < 4 || code > 10))
            fuzz::fail("the run ended with code " + std::to_string(code));
        if (peakBytes.load() > static_cast<std::int64_t>(FIXED_ALLOWANCE + SIZE_FACTOR * size))
            fuzz::fail("the run held " + std::to_string(peakBytes.load()) +
                       " bytes at once for a patch file of " + std::to_string(size) + " bytes");
        checkFile(TARGET_NAME, target, code);
        targetChanged = code == 0;
        checkFile(PATCH_NAME, patchBytes, code);

        if (name == TARGET_NAME && name.size() == patch.targetName.size()) {
            fuzz::Bytes expected;
            int want = referenceOutcome(patch, reverse, expected);
            if (code != want)
                fuzz::fail("the run ended with code " + std::to_string(code) + " instead of " +
                           std::to_string(want));
            fuzz::Bytes after;
            fuzz::readFile(TARGET_NAME, after);
            if (code == 0 && after != expected)
                fuzz::fail("the patched file is not what the patch's blocks give");
        } else if (patch.status != fuzz::ReferenceStatus::Valid && code != 8) {
            fuzz::fail("a patch with a bad header ended with code " + std::to_string(code));
        }
    }
    return 0;
}
