#include "services/temporary_file.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void removeAll();

// The temporary files not yet removed.
std::vector<TemporaryFile*>& liveTemporaries() {
    static std::vector<TemporaryFile*> temporaries;
    // Registered after `temporaries` was made, so that it runs before `temporaries` goes.
    static const bool hooked = std::atexit(removeAll) == 0;
    (void)hooked;
    return temporaries;
}

// An interruption outside a write phase removes the temporary files.
void listForInterruptions() {
    std::vector<std::string> names;
    for (const TemporaryFile* temporary : liveTemporaries())
        names.push_back(temporary->name);
    platform::removeWhenInterrupted(names);
}

// Takes `temporary` off the list; false when it was not on it.
bool forget(TemporaryFile* temporary) {
    std::vector<TemporaryFile*>& list = liveTemporaries();
    auto end = std::remove(list.begin(), list.end(), temporary);
    bool found = end != list.end();
    list.erase(end, list.end());
    return found;
}

void remove(TemporaryFile& temporary) {
    forget(&temporary);
    listForInterruptions();
    temporary.file = platform::File();
    if (temporary.reader != nullptr)
        *temporary.reader = platform::File();
    platform::removeFile(temporary.name);
}

void removeAll() {
    while (!liveTemporaries().empty())
        remove(*liveTemporaries().back());
}

} // namespace

TemporaryFile::~TemporaryFile() {
    if (forget(this))
        remove(*this);
}

bool createTemporary(TemporaryFile& temporary) {
    // An interruption that arrives meanwhile waits until the file is on the list, and then
    // removes it.
    platform::InterruptionHold hold;
    hold.take();
    temporary.file = platform::createTemporaryFile(temporary.name);
    if (!platform::isOpen(temporary.file)) {
        temporary.name.clear();
        return false;
    }
    liveTemporaries().push_back(&temporary);
    listForInterruptions();
    return true;
}

void adoptTemporary(TemporaryFile& temporary, const std::string& name) {
    temporary.name = name;
    liveTemporaries().push_back(&temporary);
    listForInterruptions();
}

void removeTemporary(const std::string& name) {
    for (TemporaryFile* temporary : liveTemporaries()) {
        if (temporary->name == name)
            return remove(*temporary);
    }
    platform::removeFile(name);
}
