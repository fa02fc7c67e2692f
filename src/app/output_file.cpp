#include "app/output_file.h"

#include <algorithm>
#include <vector>

namespace {

// Outputs opened and not yet committed; a failing run ends before their owners go.
std::vector<OutputFile*>& pending() {
    static std::vector<OutputFile*> outputs;
    return outputs;
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

bool openOutput(const std::string& name, OutputFile& output) {
    platform::holdInterruptions();
    if (platform::isSpecialFile(name)) {
        output.target = name;
        output.file = platform::openForWriting(name);
    } else {
        output.file = platform::createFileBeside(name, output.freshName, output.target);
        if (platform::isOpen(output.file))
            pending().push_back(&output);
    }
    return platform::isOpen(output.file);
}

bool commitOutput(OutputFile& output) {
    bool done;
    if (output.freshName.empty()) {
        done = platform::closeFile(output.file);
    } else {
        forget(output);
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
        platform::removeFile(output->freshName);
    }
    pending().clear();
}
