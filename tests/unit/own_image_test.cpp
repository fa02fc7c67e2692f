// Where the program's own image ends, and what bytes beyond it mean: images built by hand as
// the linkers lay them out (ELF on Linux, PE on Windows, signed or not; the program reads only
// its own system's kind), then packaged, cut, changed or given hostile headers.
#include "package/embedded_patch.h"

#include "platform/platform.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string PATCH = "PATCH1" + std::string(30, '\x05');

void put(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t k = 0; k < width; ++k)
        bytes[at + k] = static_cast<char>(value >> (8 * k));
}

std::string filled(std::size_t size, char byte) {
    return std::string(size, byte);
}

#ifdef _WIN32
// A PE32+ image: headers of 0x200 bytes, two sections of 0x200 bytes of raw data; with
// `symbols`, a COFF symbol table and string table after them, as a build that is not stripped.
const std::size_t PE = 0x80, OPTIONAL = PE + 24, SECTIONS = OPTIONAL + 240;
const std::size_t CERTIFICATE_ENTRY = OPTIONAL + 112 + 4 * 8;

std::string peImage(bool symbols = false) {
    std::string image = filled(0x600, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put(image, 0x3C, PE, 4);
    image.replace(PE, 4, std::string("PE\0\0", 4));
    put(image, PE + 4, 0x8664, 2);
    put(image, PE + 6, 2, 2);    // sections
    put(image, PE + 20, 240, 2); // optional header size
    put(image, OPTIONAL, 0x20B, 2);
    put(image, OPTIONAL + 60, 0x200, 4); // SizeOfHeaders
    put(image, OPTIONAL + 108, 16, 4);   // data-directory entries
    for (std::size_t k = 0; k < 2; ++k) {
        put(image, SECTIONS + 40 * k + 16, 0x200, 4);
        put(image, SECTIONS + 40 * k + 20, 0x200 + 0x200 * k, 4);
    }
    image.replace(0x200, 0x400, filled(0x400, '\xCC'));
    if (symbols) {
        put(image, PE + 12, 0x600, 4);
        put(image, PE + 16, 10, 4);
        image += filled(180, '\x11') + std::string("\x14\0\0\0", 4) + filled(16, 's');
    }
    return image;
}

// What signing makes of `file`: zero bytes up to a multiple of 8, then a certificate table that
// the certificate-table entry points at.
std::string signedFile(std::string file, std::size_t table = 600) {
    file += filled((8 - file.size() % 8) % 8, '\0');
    put(file, CERTIFICATE_ENTRY, file.size(), 4);
    put(file, CERTIFICATE_ENTRY + 4, table, 4);
    return file + filled(table, '\x30');
}

#else
// An ELF file: header, two program headers, segment data, four sections (a null one, the code,
// a .bss that takes no room in the file, a string table) and the section header table at the
// end, as a linker lays them out; 64-bit or 32-bit.
struct Elf {
    bool wide;
    std::size_t header() const { return wide ? 64 : 52; }
    std::size_t programEntry() const { return wide ? 56 : 32; }
    std::size_t sectionEntry() const { return wide ? 64 : 40; }
    std::size_t word() const { return wide ? 8 : 4; }
    std::size_t sectionTable() const { return 0x640; }
    std::size_t size() const { return sectionTable() + 4 * sectionEntry(); }
    std::size_t sectionTableField() const { return wide ? 0x28 : 0x20; }
    std::size_t sectionCountField() const { return wide ? 0x3C : 0x30; }

    void putSection(std::string& image, int index, std::uint32_t type, std::uint64_t offset,
                    std::uint64_t length) const {
        std::size_t entry = sectionTable() + static_cast<std::size_t>(index) * sectionEntry();
        put(image, entry + 4, type, 4);
        put(image, entry + (wide ? 24 : 16), offset, word());
        put(image, entry + (wide ? 32 : 20), length, word());
    }

    std::string image() const {
        std::string image = filled(size(), '\0');
        image.replace(0, 4,
                      "\x7F"
                      "ELF");
        image[4] = wide ? 2 : 1; // class
        image[5] = 1;            // little-endian
        image[6] = 1;
        put(image, wide ? 0x20 : 0x1C, header(), word());        // program headers
        put(image, sectionTableField(), sectionTable(), word()); // section headers
        put(image, wide ? 0x36 : 0x2A, programEntry(), 2);       // entry size
        put(image, wide ? 0x38 : 0x2C, 2, 2);                    // count
        put(image, wide ? 0x3A : 0x2E, sectionEntry(), 2);       // entry size
        put(image, sectionCountField(), 4, 2);                   // count
        for (int k = 0; k < 2; ++k) {
            std::size_t entry = header() + static_cast<std::size_t>(k) * programEntry();
            put(image, entry, 1, 4); // PT_LOAD
            put(image, entry + (wide ? 8 : 4), k == 0 ? 0 : 0x400, word());
            put(image, entry + (wide ? 32 : 16), k == 0 ? 0x400 : 0x200, word());
        }
        image.replace(0x400, 0x240, filled(0x240, '\x90'));
        putSection(image, 1, 1, 0x400, 0x200);   // PROGBITS
        putSection(image, 2, 8, 0x600, 0x10000); // NOBITS, far past the file
        putSection(image, 3, 3, 0x600, 0x40);    // STRTAB
        return image;
    }
};

#endif

std::string packaged(const std::string& image) {
    return image + PATCH + le32(static_cast<std::uint32_t>(image.size()));
}

std::string cut(const std::string& bytes, std::size_t count) {
    return bytes.substr(0, bytes.size() - count);
}

std::string flipped(std::string bytes, std::size_t at, char bit) {
    bytes[at] = static_cast<char>(bytes[at] ^ bit);
    return bytes;
}

OwnPatch statusOf(const std::string& bytes) {
    ScratchFolder folder;
    writeFile(folder / "image", bytes);
    platform::File file = platform::openForReading(folder / "image");
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::isOpen(file) && platform::fileSize(file, size));
    EmbeddedPatchTrailer trailer;
    return findOwnPatch(file, size, trailer);
}

struct Case {
    std::string what;
    std::string bytes;
    OwnPatch expected;
};

void expectStatuses(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(statusOf(c.bytes), c.expected) << c.what;
}

} // namespace

#ifdef _WIN32
TEST(OwnImage, APeImageEndsAtItsLastSectionOrSymbolTableOrCarriesACertificateTable) {
    const std::string image = peImage();
    const std::string whole = packaged(image);
    const std::string unstripped = peImage(true);
    const std::string signedWhole = signedFile(whole);
    // Signed with no patch, then the table stretched over a patch appended behind it: the
    // hidden patch sits where no signature covers it, and must not count.
    std::string stretched =
        signedFile(image) + PATCH + le32(static_cast<std::uint32_t>(image.size()));
    put(stretched, CERTIFICATE_ENTRY + 4, stretched.size() - image.size(), 4);
    std::string manySections = image;
    put(manySections, PE + 6, 0xFFFF, 2);
    std::string rawPastTheEnd = image;
    put(rawPastTheEnd, SECTIONS + 40 + 16, 0xFFFFFFF0u, 4);
    std::string noPe = image;
    noPe[PE] = 'X';
    expectStatuses({
        {"plain", image, OwnPatch::None},
        {"packaged", whole, OwnPatch::Found},
        {"cut by one byte", cut(whole, 1), OwnPatch::Damaged},
        {"cut inside the patch", cut(whole, 20), OwnPatch::Damaged},
        {"a flipped trailer bit", flipped(whole, whole.size() - 3, 0x01), OwnPatch::Damaged},
        {"not stripped", unstripped, OwnPatch::None},
        {"not stripped, with a byte beyond", unstripped + "x", OwnPatch::Damaged},
        {"not stripped, packaged", packaged(unstripped), OwnPatch::Found},
        {"signed", signedFile(image), OwnPatch::None},
        {"signed self-applying patch", signedWhole, OwnPatch::Found},
        {"signed self-applying patch cut by 500 bytes", cut(signedWhole, 500), OwnPatch::Damaged},
        {"signed self-applying patch cut by one byte", cut(signedWhole, 1), OwnPatch::Damaged},
        {"signed, table stretched over a hidden patch", stretched, OwnPatch::None},
        {"signed with bytes between the sections and the table", signedFile(image + "junk"),
         OwnPatch::Damaged},
        {"65535 sections", manySections + "junk", OwnPatch::None},
        {"raw data past the end of the file", rawPastTheEnd + "junk", OwnPatch::None},
        {"no PE header", noPe + "junk", OwnPatch::None},
        {"neither PE nor ELF", "#!/bin/sh\nexit 0\n" + PATCH, OwnPatch::None},
    });
}
#else
TEST(OwnImage, AnElfFileEndsAtItsLastSegmentSectionOrSectionTable) {
    for (bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "ELF64" : "ELF32");
        const Elf elf{wide};
        const std::string image = elf.image();
        const std::string whole = packaged(image);
        std::string sectionPastTheEnd = image;
        elf.putSection(sectionPastTheEnd, 1, 1, 0x400, 0x7FFFFFFF);
        std::string tableFarAway = image;
        put(tableFarAway, elf.sectionTableField(), 0xFFFFFFFFu, 4);
        std::string hugeCount = image;
        put(hugeCount, elf.sectionCountField(), 0xFFFF, 2);
        std::string bigEndian = image;
        bigEndian[5] = 2;
        expectStatuses({
            {"plain", image, OwnPatch::None},
            {"packaged", whole, OwnPatch::Found},
            {"cut by one byte", cut(whole, 1), OwnPatch::Damaged},
            {"cut by 20 bytes", cut(whole, 20), OwnPatch::Damaged},
            {"cut right after the image", image + "P", OwnPatch::Damaged},
            {"a flipped trailer bit", flipped(whole, whole.size() - 2, 0x04), OwnPatch::Damaged},
            {"a flipped magic bit", flipped(whole, image.size() + 1, 0x20), OwnPatch::Damaged},
            {"zeros appended", image + filled(512, '\0'), OwnPatch::Damaged},
            {"plain, cut inside its section table", cut(image, 1), OwnPatch::None},
            {"a section past the end of the file", sectionPastTheEnd + "junk", OwnPatch::None},
            {"section table far past the end", tableFarAway + "junk", OwnPatch::None},
            {"65535 sections", hugeCount + "junk", OwnPatch::None},
            {"big-endian", bigEndian + "junk", OwnPatch::None},
            {"header cut short", image.substr(0, 40), OwnPatch::None},
        });
    }
}

#endif
