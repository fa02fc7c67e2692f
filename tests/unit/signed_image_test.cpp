// Signed Windows executables, made by hand: finding the patch of a signed self-applying patch,
// refusing hostile headers, and packaging from a signed program.
#include "package/embedded_patch.h"
#include "package/packaged_executable.h"
#include "package/pe_image.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::uint32_t PE_HEADER = 0x80;
const std::uint32_t OPTIONAL_HEADER = PE_HEADER + 24;
const std::uint32_t CHECKSUM_FIELD = OPTIONAL_HEADER + 64;
const std::string PATCH = "PATCH1" + std::string(9, '\x02') + "end";

void putU32(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes.replace(at, 4, le32(value));
}

void putU16(std::string& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

std::uint32_t directoryOf(bool plus) {
    return OPTIONAL_HEADER + (plus ? 112 : 96);
}

// Offset of the certificate-table entry (data-directory entry 4).
std::uint32_t entryOf(bool plus) {
    return directoryOf(plus) + 4 * 8;
}

// A PE image of 1024 bytes: DOS header, "PE\0\0", file header, an optional header (PE32+ or
// PE32) with 16 data-directory entries, all zero, and a body of non-zero bytes that ends in
// zero bytes, as section data padded to its file alignment does.
std::string peImage(bool plus = true) {
    std::string image(1024, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    putU32(image, 0x3C, PE_HEADER);
    image.replace(PE_HEADER, 4, std::string("PE\0\0", 4));
    putU16(image, PE_HEADER + 4, plus ? 0x8664 : 0x14C);
    putU16(image, PE_HEADER + 20,
           static_cast<std::uint16_t>(directoryOf(plus) + 16 * 8 - OPTIONAL_HEADER));
    putU16(image, OPTIONAL_HEADER, plus ? 0x20B : 0x10B);
    putU32(image, CHECKSUM_FIELD, 0x1234);
    putU32(image, directoryOf(plus) - 4, 16);
    for (std::size_t i = 512; i < 1000; ++i)
        image[i] = static_cast<char>((i * 13) | 1);
    return image;
}

std::string certificate(std::size_t size) {
    std::string table(size, '\x30');
    if (size >= 4)
        putU32(table, 0, static_cast<std::uint32_t>(size));
    return table;
}

// What a signer makes of `file`: `zeros` zero bytes, then a certificate table of `tableSize`
// bytes that the certificate-table entry points at, and a new checksum.
std::string signedFile(std::string file, std::size_t zeros, bool plus = true,
                       std::size_t tableSize = 1200) {
    const std::uint32_t start = static_cast<std::uint32_t>(file.size() + zeros);
    putU32(file, entryOf(plus), start);
    putU32(file, entryOf(plus) + 4, static_cast<std::uint32_t>(tableSize));
    putU32(file, CHECKSUM_FIELD, 0xC0FFEE);
    return file + std::string(zeros, '\0') + certificate(tableSize);
}

// A self-applying patch made from `image`, with the patch file PATCH.
std::string packaged(const std::string& image) {
    return image + PATCH + le32(static_cast<std::uint32_t>(image.size()));
}

// While it lives, the program makes its temporary files in `folder`.
class TemporaryFolder {
  public:
    explicit TemporaryFolder(const std::string& folder) {
        const char* old = std::getenv(VARIABLE);
        hadOld_ = old != nullptr;
        old_ = hadOld_ ? old : "";
        set(folder.c_str());
    }
    ~TemporaryFolder() { set(hadOld_ ? old_.c_str() : nullptr); }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  private:
#ifdef _WIN32
    static constexpr const char* VARIABLE = "TMP";
    static void set(const char* value) {
        SetEnvironmentVariableA(VARIABLE, value);
    }
#else
    static constexpr const char* VARIABLE = "TMPDIR";
    static void set(const char* value) {
        if (value != nullptr)
            setenv(VARIABLE, value, 1);
        else
            unsetenv(VARIABLE);
    }
#endif
    bool hadOld_ = false;
    std::string old_;
};

struct Found {
    bool found = false;
    EmbeddedPatchTrailer trailer;
};

Found detect(const std::string& path) {
    Found result;
    platform::File file = platform::openForReading(path);
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::isOpen(file) && platform::fileSize(file, size));
    result.found = findEmbeddedPatch(file, size, result.trailer);
    return result;
}

std::uint32_t checksumOf(std::string bytes) {
    putU32(bytes, CHECKSUM_FIELD, 0);
    PeChecksum checksum;
    addToChecksum(checksum, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return checksumValue(checksum);
}

} // namespace

TEST(SignedImage, PatchIsFoundBeforeTheCertificateTableAndItsAlignment) {
    const std::string image = peImage();
    const std::string file = packaged(image);
    const std::uint32_t trailerAt = static_cast<std::uint32_t>(file.size() - 4);
    struct Case {
        const char* what;
        std::string bytes;
        bool found;
    };
    std::vector<Case> cases;
    for (std::size_t zeros = 0; zeros <= 7; ++zeros)
        cases.push_back({"signed after alignment zeros", signedFile(file, zeros), true});
    const std::vector<Case> more = {
        {"unsigned", file, true},
        {"signed PE32", signedFile(packaged(peImage(false)), 3, false), true},
        {"signed, one byte table", signedFile(file, 2, true, 1), true},
        {"signed, eight zeros", signedFile(file, 8), false},
        {"signed, a non-zero byte in the alignment", signedFile(file + "\x01", 0), false},
        {"signed image without a patch", signedFile(image, 0), false},
        {"signed image with a zero trailer", signedFile(image + le32(0), 4), false},
        {"table ends early, as if signed twice", signedFile(file, 0) + certificate(16), false},
    };
    cases.insert(cases.end(), more.begin(), more.end());

    // Hostile certificate-table entries, on an otherwise signed self-applying patch.
    const std::string good = signedFile(file, 4);
    const std::uint32_t size = static_cast<std::uint32_t>(good.size());
    const std::uint32_t start = trailerAt + 8;
    struct Entry {
        const char* what;
        std::uint32_t start, tableSize;
    };
    const Entry entries[] = {
        {"entry zero", 0, 0},
        {"address zero", 0, size},
        {"size zero", start, 0},
        {"table one byte short of the end", start, size - start - 1},
        {"table one byte past the end", start, size - start + 1},
        {"address past the end", size + 8, 8},
        {"address and size wrapping round 32 bits", 0xFFFFFFF0u, size + 0x10},
        {"huge size", 8, 0xFFFFFFFFu},
        {"huge address and size", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"table overlapping the trailer", trailerAt + 2, size - trailerAt - 2},
        {"table in the headers", 0x40, size - 0x40},
    };
    // The table stretched, after signing, over a second patch and a trailer that points at it:
    // the signed patch is found, never the hidden one.
    std::string stretched = good + PATCH + le32(size);
    const std::uint32_t tableStart = trailerAt + 8;
    putU32(stretched, entryOf(true) + 4, static_cast<std::uint32_t>(stretched.size()) - tableStart);
    putU32(stretched, tableStart, static_cast<std::uint32_t>(stretched.size()) - tableStart);
    cases.push_back({"table stretched over a hidden patch", stretched, true});
    // Signed with no patch at all, the table then stretched over one: nothing carries a patch.
    std::string unsignedPart = signedFile(image, 0);
    std::string hidden = unsignedPart + PATCH + le32(static_cast<std::uint32_t>(image.size()));
    putU32(hidden, entryOf(true) + 4, static_cast<std::uint32_t>(hidden.size() - image.size()));
    cases.push_back(
        {"signed image without a patch, table stretched over a hidden one", hidden, false});
    for (const Entry& entry : entries) {
        std::string bytes = good;
        putU32(bytes, entryOf(true), entry.start);
        putU32(bytes, entryOf(true) + 4, entry.tableSize);
        cases.push_back({entry.what, bytes, false});
    }

    // Hostile headers around the entry.
    struct Field {
        const char* what;
        std::uint32_t at;
        std::uint32_t value;
        int width;
    };
    const Field fields[] = {
        {"no MZ", 0, 'M' | 'Y' << 8, 2},
        {"PE header past the end", 0x3C, size, 4},
        {"PE header at the very end", 0x3C, size - 4, 4},
        {"PE header offset huge", 0x3C, 0xFFFFFFFFu, 4},
        {"no PE signature", PE_HEADER, 0x00004551, 4},
        {"unknown optional header", OPTIONAL_HEADER, 0x107, 2},
        {"PE32 magic on a PE32+ layout: the entry is read elsewhere", OPTIONAL_HEADER, 0x10B, 2},
        {"four data-directory entries", directoryOf(true) - 4, 4, 4},
        {"no data-directory entries", directoryOf(true) - 4, 0, 4},
        {"optional header ends before the entry", PE_HEADER + 20,
         entryOf(true) + 7 - OPTIONAL_HEADER, 2},
        {"optional header runs past the end", PE_HEADER + 20, 0xFFFF, 2},
    };
    for (const Field& field : fields) {
        std::string bytes = good;
        if (field.width == 2)
            putU16(bytes, field.at, static_cast<std::uint16_t>(field.value));
        else
            putU32(bytes, field.at, field.value);
        cases.push_back({field.what, bytes, false});
    }
    cases.push_back({"cut off inside the headers", good.substr(0, PE_HEADER + 30), false});
    cases.push_back({"shorter than a DOS header", good.substr(0, 63), false});

    ScratchFolder folder;
    const std::string temporary = folder / "tmp";
    makeFolder(temporary);
    TemporaryFolder useTemporary(temporary);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = folder / "image.exe";
        writeFile(path, c.bytes);
        Found result = detect(path);
        EXPECT_EQ(result.found, c.found);
        if (result.found) {
            EXPECT_EQ(result.trailer.patchStart, image.size());
            EXPECT_EQ(result.trailer.patchEnd, trailerAt);
        }
        {
            TemporaryFile copy;
            EXPECT_EQ(extractEmbeddedPatch(path, copy), c.found);
            if (c.found) {
                EXPECT_EQ(readFile(copy.name), PATCH);
            }
        }
        EXPECT_TRUE(fs::is_empty(temporary)) << "a temporary file was left";
    }
}

TEST(SignedImage, ChecksumFoldsCarriesAndAddsTheLength) {
    struct Case {
        std::string bytes;
        std::uint32_t expected;
    };
    // Values from an independent implementation of the algorithm, which also gives the
    // linker's checksum of morvane.exe.
    const Case cases[] = {
        {"", 0},
        {std::string("\x01\x02\x03", 3), 0x0207},
        {std::string("\xFF\xFF\xFF\xFF\x01\x00", 6), 0x0007},
        {std::string(10, '\xFF'), 0xFFFF + 10},
        {std::string(70000, '\x80'), 0xA0A0 + 70000},
    };
    for (const Case& c : cases) {
        const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        PeChecksum whole;
        addToChecksum(whole, data, c.bytes.size());
        EXPECT_EQ(checksumValue(whole), c.expected) << c.bytes.size();
        PeChecksum pieces;
        std::size_t half = c.bytes.size() / 4 * 2;
        addToChecksum(pieces, data, half);
        addToChecksum(pieces, data + half, c.bytes.size() - half);
        EXPECT_EQ(checksumValue(pieces), c.expected) << c.bytes.size();
    }
}

#ifdef _WIN32
TEST(SignedImage, ChecksumIsTheOneTheLinkerWrote) {
    std::string program = readFile(morvanePath());
    const std::uint32_t optional =
        static_cast<std::uint32_t>(static_cast<unsigned char>(program[0x3C]) |
                                   static_cast<unsigned char>(program[0x3D]) << 8) +
        24;
    std::uint32_t written = 0;
    for (int i = 3; i >= 0; --i)
        written = written << 8 | static_cast<unsigned char>(program[optional + 64 + i]);
    program.replace(optional + 64, 4, std::string(4, '\0'));
    PeChecksum checksum;
    addToChecksum(checksum, reinterpret_cast<const std::uint8_t*>(program.data()), program.size());
    EXPECT_NE(written, 0u);
    EXPECT_EQ(checksumValue(checksum), written);
}
#endif

TEST(SignedImage, PackagingLeavesTheSignatureOut) {
    // The image as the linker made it, with a valid checksum.
    std::string image = peImage();
    putU32(image, CHECKSUM_FIELD, checksumOf(image));
    std::string image32 = peImage(false);
    putU32(image32, CHECKSUM_FIELD, checksumOf(image32));
    // A self-applying patch that was signed and then, its patch not extracted, run to package.
    std::string packagedImage = packaged(image);
    putU32(packagedImage, CHECKSUM_FIELD, checksumOf(packagedImage));

    std::string wrapping = signedFile(image, 0);
    putU32(wrapping, entryOf(true), 0xFFFFFFF0u);
    putU32(wrapping, entryOf(true) + 4, static_cast<std::uint32_t>(wrapping.size() + 0x10));

    struct Case {
        const char* what;
        std::string own;
        std::string expected; // the executable part of the output
    };
    const Case cases[] = {
        {"signed", signedFile(image, 0), image},
        {"signed PE32", signedFile(image32, 0, false), image32},
        {"signed self-applying patch, alignment left out", signedFile(packagedImage, 2),
         packagedImage},
        {"signed self-applying patch, seven zeros", signedFile(packagedImage, 7), packagedImage},
        {"unsigned: copied whole", packagedImage, packagedImage},
        {"a whole multiple of the copy's pieces", std::string(128 * 1024, 'B'),
         std::string(128 * 1024, 'B')},
        {"one byte more", std::string(64 * 1024 + 1, 'B'), std::string(64 * 1024 + 1, 'B')},
        {"table not at the end: copied whole", signedFile(image, 0) + "x",
         signedFile(image, 0) + "x"},
        {"address and size that reach the end only in 32 bits: copied whole", wrapping, wrapping},
    };
    const std::string newPatch = "PATCH1" + std::string(40, '\x07');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder folder;
        writeFile(folder / "own.exe", c.own);
        writeFile(folder / "patch.pat", newPatch);
        buildPackagedExecutable(folder / "own.exe", folder / "patch.pat", folder / "out.exe", {});
        const std::string output = readFile(folder / "out.exe");
        EXPECT_TRUE(output ==
                    c.expected + newPatch + le32(static_cast<std::uint32_t>(c.expected.size())));
        EXPECT_EQ(output.size(), c.expected.size() + newPatch.size() + 4);
    }
}
