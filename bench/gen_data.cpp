// Deterministic data sets for bench/run.sh. Every mode takes a seed, so the same command line
// always gives the same bytes, on any machine.
//
//   gen_data random FILE SIZE SEED          FILE := SIZE pseudo-random bytes
//   gen_data text FILE SIZE SEED            FILE := SIZE bytes of word-like text lines
//   gen_data sparse FILE COUNT MAXLEN SEED  COUNT changes of 1..MAXLEN bytes at random offsets
//   gen_data dense FILE STRIDE LENGTH SEED  a LENGTH-byte change at the start of every STRIDE
//   gen_data every IN OUT SEED              OUT := IN with every single byte changed
//   gen_data stride IN OUT STRIDE SEED      OUT := IN with the byte at every multiple of STRIDE
//                                           changed (STRIDE 9: one-byte blocks, 8 bytes apart)
//   gen_data holes FILE SIZE PERCENT SEED   FILE := SIZE bytes, holes but for PERCENT % of them:
//                                           pseudo-random 1 MiB pieces, evenly spread
//   gen_data empty-blocks PATCH TARGET SIZE COUNT
//                                           PATCH := a patch for the file TARGET of SIZE bytes
//                                           that holds COUNT blocks of length 0, evenly spread
//
// The modes sparse and dense change a file in place; every byte a mode changes gets a value
// that differs from the one it had.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::size_t BUFFER_SIZE = 1 << 20;

// xoshiro256** seeded through splitmix64.
struct Random {
    std::uint64_t s[4];

    explicit Random(std::uint64_t seed) {
        for (std::uint64_t& word : s) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t next() {
        std::uint64_t result = rotl(s[1] * 5, 7) * 9;
        std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }

    // Uniform enough for benchmark data in [0, bound).
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

    // A value from 1 to 255: XOR-ing a byte with it always changes the byte.
    std::uint8_t nonZero() { return static_cast<std::uint8_t>(1 + below(255)); }

    void fill(std::uint8_t* data, std::size_t count) {
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            std::uint64_t word = next();
            std::memcpy(data + i, &word, 8);
        }
        if (i < count) {
            std::uint64_t word = next();
            std::memcpy(data + i, &word, count - i);
        }
    }
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "gen_data: %s\n", what.c_str());
    std::exit(1);
}

std::uint64_t number(const char* text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        fail(std::string("not a number: ") + text);
    return value;
}

std::FILE* open(const char* name, const char* mode) {
    std::FILE* file = std::fopen(name, mode);
    if (file == nullptr)
        fail(std::string("cannot open ") + name);
    return file;
}

void close(std::FILE* file, const char* name) {
    if (std::fclose(file) != 0)
        fail(std::string("cannot write ") + name);
}

std::uint64_t sizeOf(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        fail("cannot seek");
    long end = std::ftell(file);
    if (end < 0)
        fail("cannot tell size");
    std::rewind(file);
    return static_cast<std::uint64_t>(end);
}

void writeRandom(const char* name, std::uint64_t size, std::uint64_t seed) {
    std::FILE* out = open(name, "wb");
    Random random(seed);
    std::vector<std::uint8_t> buffer(BUFFER_SIZE);
    for (std::uint64_t done = 0; done < size;) {
        std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(BUFFER_SIZE, size - done));
        random.fill(buffer.data(), piece);
        if (std::fwrite(buffer.data(), 1, piece, out) != piece)
            fail(std::string("cannot write ") + name);
        done += piece;
    }
    close(out, name);
}

void writeHoles(const char* name, std::uint64_t size, std::uint64_t percent, std::uint64_t seed) {
    std::FILE* out = open(name, "wb");
    if (percent == 0 || percent > 100 || ::ftruncate(fileno(out), static_cast<off_t>(size)) != 0)
        fail(std::string("cannot make ") + name);
    Random random(seed);
    std::vector<std::uint8_t> buffer(BUFFER_SIZE);
    std::uint64_t spacing = BUFFER_SIZE * 100 / percent;
    for (std::uint64_t at = 0; at + BUFFER_SIZE <= size; at += spacing) {
        random.fill(buffer.data(), buffer.size());
        if (::fseeko(out, static_cast<off_t>(at), SEEK_SET) != 0 ||
            std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size())
            fail(std::string("cannot write ") + name);
    }
    close(out, name);
}

void writeText(const char* name, std::uint64_t size, std::uint64_t seed) {
    static const char* const WORDS[] = {
        "block", "patch", "offset", "original", "changed", "bytes", "file",   "system",
        "image", "table", "record", "header",   "data",    "value", "length", "the",
        "a",     "of",    "and",    "to",       "in",      "is",    "for",    "with"};
    const std::size_t wordCount = sizeof WORDS / sizeof WORDS[0];
    std::FILE* out = open(name, "wb");
    Random random(seed);
    std::string text;
    text.reserve(size + 64);
    std::size_t lineLength = 0;
    while (text.size() < size) {
        const char* word = WORDS[random.below(wordCount)];
        text += word;
        lineLength += std::strlen(word);
        if (lineLength > 60 + random.below(16)) {
            text += '\n';
            lineLength = 0;
        } else {
            text += ' ';
            ++lineLength;
        }
    }
    text.resize(static_cast<std::size_t>(size));
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
        fail(std::string("cannot write ") + name);
    close(out, name);
}

void changeAt(std::FILE* file, std::uint64_t offset, std::size_t length, Random& random) {
    std::uint8_t bytes[4096];
    if (length > sizeof bytes)
        fail("change too long");
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fread(bytes, 1, length, file) != length)
        fail("cannot read the bytes to change");
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] ^= random.nonZero();
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes, 1, length, file) != length)
        fail("cannot write the changed bytes");
}

void changeSparse(const char* name, std::uint64_t count, std::uint64_t maxLength,
                  std::uint64_t seed) {
    std::FILE* file = open(name, "r+b");
    std::uint64_t size = sizeOf(file);
    if (maxLength == 0 || size < maxLength)
        fail("file too small for the changes");
    Random random(seed);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::size_t length = static_cast<std::size_t>(1 + random.below(maxLength));
        std::uint64_t offset = random.below(size - length + 1);
        changeAt(file, offset, length, random);
    }
    close(file, name);
}

void changeDense(const char* name, std::uint64_t stride, std::uint64_t length, std::uint64_t seed) {
    std::FILE* file = open(name, "r+b");
    std::uint64_t size = sizeOf(file);
    if (length == 0 || length > stride)
        fail("the change must be shorter than the stride");
    Random random(seed);
    for (std::uint64_t offset = 0; offset + length <= size; offset += stride)
        changeAt(file, offset, static_cast<std::size_t>(length), random);
    close(file, name);
}

void changeEvery(const char* inName, const char* outName, std::uint64_t seed) {
    std::FILE* in = open(inName, "rb");
    std::FILE* out = open(outName, "wb");
    Random random(seed);
    std::vector<std::uint8_t> buffer(BUFFER_SIZE);
    for (;;) {
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0)
            break;
        for (std::size_t i = 0; i < got; ++i)
            buffer[i] ^= random.nonZero();
        if (std::fwrite(buffer.data(), 1, got, out) != got)
            fail(std::string("cannot write ") + outName);
    }
    std::fclose(in);
    close(out, outName);
}

void changeStride(const char* inName, const char* outName, std::uint64_t stride,
                  std::uint64_t seed) {
    if (stride == 0)
        fail("the stride must be at least 1");
    std::FILE* in = open(inName, "rb");
    std::FILE* out = open(outName, "wb");
    Random random(seed);
    std::vector<std::uint8_t> buffer(BUFFER_SIZE);
    // Offset in the file of buffer[0], and of the next byte to change.
    std::uint64_t start = 0;
    std::uint64_t next = 0;
    for (;;) {
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0)
            break;
        for (; next < start + got; next += stride)
            buffer[static_cast<std::size_t>(next - start)] ^= random.nonZero();
        if (std::fwrite(buffer.data(), 1, got, out) != got)
            fail(std::string("cannot write ") + outName);
        start += got;
    }
    std::fclose(in);
    close(out, outName);
}

void putU32(std::vector<std::uint8_t>& bytes, std::uint64_t value) {
    if (value > 0xFFFFFFFFull)
        fail("a value does not fit the patch format's 32 bits");
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The patch format: "PATCH1", the target name and the file size, an empty message, then
// records of offset, length, old bytes and new bytes; integers are 32-bit little-endian.
void writeEmptyBlocks(const char* patchName, const std::string& targetName, std::uint64_t size,
                      std::uint64_t count) {
    if (count == 0 || count > size)
        fail("the blocks must be at least one and at most one per byte of the file");
    std::vector<std::uint8_t> bytes = {'P', 'A', 'T', 'C', 'H', '1'};
    putU32(bytes, targetName.size());
    bytes.insert(bytes.end(), targetName.begin(), targetName.end());
    putU32(bytes, size);
    putU32(bytes, 0);
    std::uint64_t spacing = size / count;
    for (std::uint64_t i = 0; i < count; ++i) {
        putU32(bytes, i * spacing);
        putU32(bytes, 0);
    }
    std::FILE* out = open(patchName, "wb");
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
        fail(std::string("cannot write ") + patchName);
    close(out, patchName);
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "random" && argc == 5)
        writeRandom(argv[2], number(argv[3]), number(argv[4]));
    else if (mode == "holes" && argc == 6)
        writeHoles(argv[2], number(argv[3]), number(argv[4]), number(argv[5]));
    else if (mode == "text" && argc == 5)
        writeText(argv[2], number(argv[3]), number(argv[4]));
    else if (mode == "sparse" && argc == 6)
        changeSparse(argv[2], number(argv[3]), number(argv[4]), number(argv[5]));
    else if (mode == "dense" && argc == 6)
        changeDense(argv[2], number(argv[3]), number(argv[4]), number(argv[5]));
    else if (mode == "every" && argc == 5)
        changeEvery(argv[2], argv[3], number(argv[4]));
    else if (mode == "stride" && argc == 6)
        changeStride(argv[2], argv[3], number(argv[4]), number(argv[5]));
    else if (mode == "empty-blocks" && argc == 6)
        writeEmptyBlocks(argv[2], argv[3], number(argv[4]), number(argv[5]));
    else
        fail("usage: see the comment at the top of bench/gen_data.cpp");
    return 0;
}
