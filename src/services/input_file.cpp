#include "services/input_file.h"

#include "services/console.h"

platform::File openInputOrFail(const std::string& name, const char* failure, std::uint64_t& size,
                               bool locked) {
    platform::File file = platform::openFile(
        name, platform::Access::Read, platform::Disposition::OpenExisting,
        platform::DATA_ONLY | (locked ? platform::SHARE_READ | platform::LOCK : 0u));
    if (!platform::isOpen(file) || !platform::fileSize(file, size))
        failWith(EXIT_CANNOT_OPEN, failure);
    return file;
}
