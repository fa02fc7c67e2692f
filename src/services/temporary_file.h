// The run's temporary files (a patch extracted from the running program, or the patch made for a
// package). Each is owned from the moment it exists: one object holds its handle and its name,
// and it is registered for removal as it is created, before a byte is written. A failure that
// unwinds removes it in its destructor, failWith's exit through a hook the first of them
// registers, and an interruption outside a write phase removes it too.
#pragma once

#include "platform/platform.h"

#include <string>

// A run that completes removes it with removeTemporary when it has read it; one that ends
// otherwise removes it then.
struct TemporaryFile {
    std::string name;    // empty for none
    platform::File file; // open for writing from its creation until the run closes it
    // While set, another file open on it, closed before it is removed (Windows deletes no file
    // that is open).
    platform::File* reader = nullptr;

    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();
};

// Creates a new, empty temporary file, readable by the user alone, open for writing, and
// registers it for removal, all before an interruption can end the run; false when none can
// be made (the object then holds none).
bool createTemporary(TemporaryFile& temporary);

// Makes the run's own file `name`, just made under an interruption hold, a temporary file of the
// run until it is put in place (the caller then clears `name`) or removed.
void adoptTemporary(TemporaryFile& temporary, const std::string& name);

// Removes the temporary file `name` now.
void removeTemporary(const std::string& name);
