#include "app/output_file.h"

#include <algorithm>
#include <vector>

namespace {

// Outputs opened and not yet committed; a failing run ends before their owners go.
std::vector<OutputFile*>& pending() {
    static std::vector<OutputFile*> outputs;
    return outputs;
}

std::vector<std::string>& temporaries() {
    static std::vector<std::string> names;
    return names;
}

platform::File*& temporaryStillRead() {
    static platform::File* file = nullptr;
    return file;
}

void forget(OutputFile& output) {
    std::vector<OutputFile*>& outputs = pending();
    outputs.erase(std::remove(outputs.begin(), outputs.end(), &output), outputs.end());
}

} // namespace

bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs) {
    platform::FileIdentity output = platform::identityOfName(name);
    for (const platform::FileIdentity& input : inputs) {
        if (platform::sameFile(output, input))
            return true;
    }
    return false;
}

namespace {
// Interruptions are held once the output is open (an open of a device or FIFO may wait), or
// before a fresh file is made, which never waits, so that no interruption leaves it behind.
bool opened(OutputFile& output, bool held) {
    if (!platform::isOpen(output.file)) {
        if (held)
            platform::releaseInterruptions();
        return false;
    }
    pending().push_back(&output);
    if (!held)
        platform::holdInterruptions();
    return true;
}
} // namespace

bool openOutput(const std::string& name, OutputFile& output) {
    if (platform::isSpecialFile(name)) {
        output.target = name;
        output.file = platform::openForWriting(name);
        return opened(output, false);
    }
    platform::holdInterruptions();
    output.file = platform::createFileBeside(name, output.freshName, output.target);
    return opened(output, true);
}

bool openTemporaryOutput(const std::string& name, OutputFile& output) {
    output.target = name;
    output.file = platform::openForWriting(name);
    return opened(output, false);
}

void removeWhenRunFails(const std::string& name) {
    temporaries().push_back(name);
    platform::removeWhenInterrupted(temporaries());
}

void closeBeforeRemoving(platform::File* file) {
    temporaryStillRead() = file;
}

void removeTemporary(const std::string& name) {
    std::vector<std::string>& names = temporaries();
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
    platform::removeWhenInterrupted(names);
    platform::removeFile(name);
}

bool commitOutput(OutputFile& output) {
    bool done;
    forget(output);
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
    platform::releaseInterruptions();
    return done;
}

void discardPendingOutputs() {
    for (OutputFile* output : pending()) {
        output->file = platform::File(); // Windows deletes no file that is still open
        if (!output->freshName.empty())
            platform::removeFile(output->freshName);
    }
    pending().clear();
    if (temporaryStillRead() != nullptr)
        *temporaryStillRead() = platform::File();
    for (const std::string& name : temporaries())
        platform::removeFile(name);
    temporaries().clear();
    platform::removeWhenInterrupted(temporaries());
}
