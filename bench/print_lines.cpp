// The floor for applying a patch, for bench/run.sh: prints the block lines that applying the
// patch prints ("@ 000003E8 : 1A bytes"), one per block in file order, and flushes standard
// output after every line as the program must, but reads and writes no target file.
//
//   print_lines PATCH
//
// The patch is read whole first, then its records are printed as they are parsed. They are
// taken as the program takes them: a record cut short at the end is dropped and trailing
// pairs of equal bytes do not count in a block's length.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "print_lines: %s\n", what.c_str());
    std::exit(1);
}

std::vector<std::uint8_t> readWhole(const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr)
        fail(std::string("cannot open ") + name);
    std::vector<std::uint8_t> bytes;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size > 0)
            bytes.reserve(static_cast<std::size_t>(size));
        std::rewind(file);
    }
    std::uint8_t buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return bytes;
}

struct Reader {
    const std::vector<std::uint8_t>& bytes;
    std::size_t at = 0;

    bool has(std::uint64_t count) const { return bytes.size() - at >= count; }

    // Integers in the patch format are little-endian: 32-bit, or 64-bit sizes, offsets and
    // lengths in the second format.
    std::uint64_t number(int width) {
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i)
            value |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
        at += width;
        return value;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        fail("usage: print_lines PATCH");
    std::vector<std::uint8_t> bytes = readWhole(argv[1]);
    Reader reader{bytes};
    std::string magic = reader.has(6) ? std::string(bytes.begin(), bytes.begin() + 6) : "";
    if (magic != "PATCH1" && magic != "PATCH2")
        fail("not a patch");
    // The second format: 64-bit fields, and the records end at the end record, before the
    // 8-byte checksum.
    const int width = magic == "PATCH2" ? 8 : 4;
    std::size_t end = width == 8 && bytes.size() >= 8 ? bytes.size() - 8 : bytes.size();
    reader.at = 6;
    // Target name, file size, message.
    if (!reader.has(4))
        fail("header cut short");
    std::uint32_t nameLength = reader.u32();
    if (!reader.has(std::uint64_t(nameLength) + width + 4))
        fail("header cut short");
    reader.at += nameLength + width;
    std::uint32_t messageLength = reader.u32();
    if (!reader.has(messageLength))
        fail("header cut short");
    reader.at += messageLength;

    while (end - reader.at >= std::size_t(2 * width)) {
        std::uint64_t offset = reader.number(width);
        std::uint64_t length = reader.number(width);
        if (width == 8 && offset == ~std::uint64_t(0) && length == 0)
            break;
        if ((end - reader.at) / 2 < length)
            break;
        const std::uint8_t* original = bytes.data() + reader.at;
        const std::uint8_t* patched = original + length;
        reader.at += 2 * std::size_t(length);
        while (length > 0 && original[length - 1] == patched[length - 1])
            --length;
        char text[64];
        int size = std::snprintf(text, sizeof text, "@ %08llX : %llX bytes",
                                 static_cast<unsigned long long>(offset),
                                 static_cast<unsigned long long>(length));
        std::fwrite(text, 1, static_cast<std::size_t>(size), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
