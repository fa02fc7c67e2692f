// The run's temporary files (a patch extracted from the running program, or the patch made for a
// package), each of which owns its removal, as outputs own their discard (output_file.h): a
// failure that unwinds removes it in its destructor, failWith's exit through a hook the first
// of them registers, and on POSIX an interruption outside a write phase removes them too.
#pragma once

#include "platform/platform.h"

#include <string>

// A run that completes removes it with removeTemporary when it has read it;
// one that ends otherwise, or an interruption outside a write phase (POSIX), removes it then.
struct TemporaryFile {
    std::string name; // empty for none
    // While set, a file still open on it, closed before it is removed (Windows deletes no file
    // that is open).
    platform::File* reader = nullptr;

    explicit TemporaryFile(std::string fileName);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();
};

// Removes the temporary file `name` now.
void removeTemporary(const std::string& name);
