#include "app/input_file.h"

#include "app/console.h"

platform::File openInputOrFail(const std::string& name, const char* failure, std::uint64_t& size,
                               bool compare) {
    platform::File file =
        compare ? platform::openForComparing(name) : platform::openForReading(name);
    if (!platform::isOpen(file) || !platform::fileSize(file, size))
        failWith(EXIT_CANNOT_OPEN, failure);
    return file;
}
