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

    // Integers in the patch format are 32-bit little-endian.
    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
        at += 4;
        return value;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        fail("usage: print_lines PATCH");
    std::vector<std::uint8_t> bytes = readWhole(argv[1]);
    Reader reader{bytes};
    if (!reader.has(6) || std::string(bytes.begin(), bytes.begin() + 6) != "PATCH1")
        fail("not a patch");
    reader.at = 6;
    // Target name, file size, message.
    if (!reader.has(4))
        fail("header cut short");
    std::uint32_t nameLength = reader.u32();
    if (!reader.has(std::uint64_t(nameLength) + 8))
        fail("header cut short");
    reader.at += nameLength + 4;
    std::uint32_t messageLength = reader.u32();
    if (!reader.has(messageLength))
        fail("header cut short");
    reader.at += messageLength;

    while (reader.has(8)) {
        std::uint32_t offset = reader.u32();
        std::uint32_t length = reader.u32();
        if (!reader.has(2 * std::uint64_t(length)))
            break;
        const std::uint8_t* original = bytes.data() + reader.at;
        const std::uint8_t* patched = original + length;
        reader.at += 2 * std::size_t(length);
        while (length > 0 && original[length - 1] == patched[length - 1])
            --length;
        char text[64];
        int size = std::snprintf(text, sizeof text, "@ %08X : %X bytes", unsigned(offset),
                                 unsigned(length));
        std::fwrite(text, 1, static_cast<std::size_t>(size), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
