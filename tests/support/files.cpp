#include "support/files.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate =
            base / ("morvane-test-" + std::to_string(entropy()) + "-" + std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string ScratchFolder::operator/(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

void makeFolder(const std::string& path) {
    fs::create_directories(path);
}

bool resizeFile(const std::string& path, std::uint64_t size) {
    std::error_code error;
    fs::resize_file(path, size, error);
    return !error;
}

std::uint64_t sizeOfFile(const std::string& path) {
    return fs::file_size(path);
}

std::string le32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}
