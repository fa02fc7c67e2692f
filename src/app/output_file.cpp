#include "app/output_file.h"

#include "app/console.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

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

template <typename T> void forget(std::vector<T*>& list, T* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// An interruption outside a write phase removes what is on this list (POSIX).
void updateInterruptionList() {
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
    updateInterruptionList();
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

bool opened(OutputFile& output) {
    if (!platform::isOpen(output.file)) {
        output.hold.release();
        return false;
    }
    runFiles().outputs.push_back(&output);
    output.hold.take();
    return true;
}

} // namespace

OutputFile::~OutputFile() {
    std::vector<OutputFile*>& outputs = runFiles().outputs;
    if (std::find(outputs.begin(), outputs.end(), this) != outputs.end())
        discard(*this);
}

TemporaryFile::TemporaryFile(std::string fileName) : name(std::move(fileName)) {
    if (name.empty())
        return;
    runFiles().temporaries.push_back(this);
    updateInterruptionList();
}

TemporaryFile::~TemporaryFile() {
    std::vector<TemporaryFile*>& temporaries = runFiles().temporaries;
    if (std::find(temporaries.begin(), temporaries.end(), this) != temporaries.end())
        discard(*this);
}

namespace {

bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs) {
    platform::FileIdentity output = platform::identityOfName(name);
    for (const platform::FileIdentity& input : inputs) {
        if (platform::sameFile(output, input))
            return true;
    }
    return false;
}

bool openOutput(const std::string& name, OutputFile& output) {
    if (platform::isSpecialFile(name)) {
        // Opening a device or FIFO may wait: interruptions are held once it is open.
        output.target = name;
        output.file = platform::openForWriting(name);
        return opened(output);
    }
    // A fresh file is made under the hold, which never waits, so that no interruption leaves
    // it behind.
    output.hold.take();
    output.file = platform::createFileBeside(name, output.freshName, output.target);
    return opened(output);
}

bool commitOutput(OutputFile& output) {
    forget(runFiles().outputs, &output);
    bool done;
    if (output.freshName.empty()) {
        done = platform::closeFile(output.file);
    } else {
        done = platform::syncFile(output.file) && platform::closeFile(output.file) &&
               platform::replaceFile(output.freshName, output.target);
        if (!done) {
            output.file = platform::File();
            platform::removeFile(output.freshName);
        }
    }
    output.hold.release();
    return done;
}

} // namespace

void openOutputOrFail(const std::string& name, const std::vector<platform::FileIdentity>& inputs,
                      OutputFile& output, const char* failure, bool temporary) {
    bool open;
    if (temporary) {
        output.target = name;
        output.file = platform::openForWriting(name);
        open = opened(output);
    } else {
        // An output never replaces what the run reads.
        open = !replacesAnInput(name, inputs) && openOutput(name, output);
    }
    if (!open)
        failWith(EXIT_CANNOT_WRITE, failure);
    output.sink = sinkToFile(output.file);
}

void commitOutputOrFail(OutputFile& output, const char* failure) {
    if (!flushSink(output.sink) || !commitOutput(output))
        failWith(EXIT_CANNOT_WRITE, failure);
}

void removeTemporary(const std::string& name) {
    for (TemporaryFile* temporary : runFiles().temporaries) {
        if (temporary->name == name) {
            discard(*temporary);
            return;
        }
    }
    platform::removeFile(name);
}
