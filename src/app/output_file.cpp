#include "app/output_file.h"

#include "app/console.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The outputs opened and not yet committed, and the temporary files not yet removed.
struct RunFiles {
    std::vector<OutputFile*> outputs;
    std::vector<TemporaryFile*> temporaries;
};

void discardAll();

RunFiles& runFiles() {
    static RunFiles files;
    // Registered after `files` was made, so that it runs before `files` goes.
    static const bool hooked = std::atexit(discardAll) == 0;
    (void)hooked;
    return files;
}

// Takes `item` off `list`; false when it was not on it.
template <typename T> bool forget(std::vector<T*>& list, T* item) {
    auto end = std::remove(list.begin(), list.end(), item);
    bool found = end != list.end();
    list.erase(end, list.end());
    return found;
}

// An interruption outside a write phase removes the temporary files (POSIX).
void listForInterruptions() {
    std::vector<std::string> names;
    for (const TemporaryFile* temporary : runFiles().temporaries)
        names.push_back(temporary->name);
    platform::removeWhenInterrupted(names);
}

void discard(OutputFile& output) {
    forget(runFiles().outputs, &output);
    output.file = platform::File(); // Windows deletes no file that is still open
    if (!output.freshName.empty())
        platform::removeFile(output.freshName);
    output.hold.release();
}

void discard(TemporaryFile& temporary) {
    forget(runFiles().temporaries, &temporary);
    listForInterruptions();
    if (temporary.reader != nullptr)
        *temporary.reader = platform::File();
    platform::removeFile(temporary.name);
}

void discardAll() {
    RunFiles& files = runFiles();
    while (!files.outputs.empty())
        discard(*files.outputs.back());
    while (!files.temporaries.empty())
        discard(*files.temporaries.back());
}

bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs) {
    platform::FileIdentity output = platform::identityOfName(name);
    return std::any_of(inputs.begin(), inputs.end(), [&](const platform::FileIdentity& input) {
        return platform::sameFile(output, input);
    });
}

} // namespace

OutputFile::~OutputFile() {
    if (forget(runFiles().outputs, this))
        discard(*this);
}

TemporaryFile::TemporaryFile(std::string fileName) : name(std::move(fileName)) {
    if (!name.empty()) {
        runFiles().temporaries.push_back(this);
        listForInterruptions();
    }
}

TemporaryFile::~TemporaryFile() {
    if (forget(runFiles().temporaries, this))
        discard(*this);
}

void openOutputOrFail(const std::string& name, const std::vector<platform::FileIdentity>& inputs,
                      OutputFile& output, const char* failure, bool temporary) {
    // An output never replaces what the run reads.
    if (!temporary && replacesAnInput(name, inputs))
        failWith(EXIT_CANNOT_WRITE, failure);
    if (temporary || platform::isSpecialFile(name)) {
        // Written in place. Opening a device or FIFO may wait: interruptions are held once it
        // is open.
        output.target = name;
        output.file = platform::openForWriting(name);
    } else {
        // The fresh file is made under the hold, which never waits, so that no interruption
        // leaves it behind.
        output.hold.take();
        output.file = platform::createFileBeside(name, output.freshName, output.target);
    }
    if (!platform::isOpen(output.file)) {
        output.hold.release();
        failWith(EXIT_CANNOT_WRITE, failure);
    }
    runFiles().outputs.push_back(&output);
    output.hold.take();
    output.sink = sinkToFile(output.file);
}

void commitOutputOrFail(OutputFile& output, const char* failure) {
    bool done = flushSink(output.sink);
    if (output.freshName.empty())
        done = platform::closeFile(output.file) && done;
    else
        done = done && platform::syncFile(output.file) && platform::closeFile(output.file) &&
               platform::replaceFile(output.freshName, output.target);
    // A failed output is discarded on the way out: its fresh file goes, the old file stays.
    if (!done)
        failWith(EXIT_CANNOT_WRITE, failure);
    forget(runFiles().outputs, &output);
    output.hold.release();
}

void removeTemporary(const std::string& name) {
    for (TemporaryFile* temporary : runFiles().temporaries) {
        if (temporary->name == name)
            return discard(*temporary);
    }
    platform::removeFile(name);
}
