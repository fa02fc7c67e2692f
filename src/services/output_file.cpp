#include "services/output_file.h"

#include "services/console.h"

#include <algorithm>
#include <cstdlib>

namespace {

void discardAll();

// The outputs opened and not yet committed.
std::vector<OutputFile*>& openOutputs() {
    static std::vector<OutputFile*> outputs;
    // Registered after `outputs` was made, so that it runs before `outputs` goes.
    static const bool hooked = std::atexit(discardAll) == 0;
    (void)hooked;
    return outputs;
}

// Takes `output` off the list; false when it was not on it.
bool forget(OutputFile* output) {
    std::vector<OutputFile*>& list = openOutputs();
    auto end = std::remove(list.begin(), list.end(), output);
    bool found = end != list.end();
    list.erase(end, list.end());
    return found;
}

void discard(OutputFile& output) {
    forget(&output);
    output.file = platform::File(); // Windows deletes no file that is still open
    if (!output.freshName.empty()) {
        platform::removeFile(output.freshName);
        platform::forgetFreshFile();
    }
    output.hold.release();
}

void discardAll() {
    while (!openOutputs().empty())
        discard(*openOutputs().back());
}

bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs) {
    platform::FileIdentity output = platform::identityOfName(name);
    return std::any_of(inputs.begin(), inputs.end(), [&](const platform::FileIdentity& input) {
        return platform::sameFile(output, input);
    });
}

} // namespace

OutputFile::~OutputFile() {
    if (forget(this))
        discard(*this);
}

void openOutputOrFail(const std::string& name, const std::vector<platform::FileIdentity>& inputs,
                      OutputFile& output, const char* failure, bool temporary) {
    // An output never replaces what the run reads.
    if (!temporary && replacesAnInput(name, inputs))
        failWith(EXIT_CANNOT_WRITE, failure);
    bool stream = !temporary && platform::isSpecialFile(name);
    if (temporary || stream) {
        // Written directly. Opening a device or FIFO may wait: nothing is held yet.
        output.target = name;
        output.file = platform::openForWriting(name);
    } else {
        // Made under the hold, which never waits: an old file is not emptied, nor a fresh file
        // left unlisted, by an interruption.
        output.hold.take();
        output.file = platform::createFileBeside(name, output.freshName, output.target);
    }
    if (!platform::isOpen(output.file)) {
        output.hold.release();
        failWith(EXIT_CANNOT_WRITE, failure);
    }
    openOutputs().push_back(&output);
    // Held while an old file is written in place; a fresh or temporary file is removed by an
    // interruption instead (POSIX), and a device or FIFO has nothing to protect.
    bool inPlace = !temporary && !stream && output.freshName.empty();
    if (inPlace || (!stream && !platform::INTERRUPTION_REMOVES_FILES))
        output.hold.take();
    else
        output.hold.release();
    output.sink = sinkToFile(output.file);
}

void commitOutputOrFail(OutputFile& output, const char* failure) {
    bool done = flushSink(output.sink);
    bool oldGone = false;
    if (output.freshName.empty()) {
        done = platform::closeFile(output.file) && done;
    } else {
        done = done && platform::syncFile(output.file) && platform::closeFile(output.file);
        // The name holds the old file or the whole output, whenever an interruption comes.
        output.hold.take();
        done = done && platform::replaceFile(output.freshName, output.target, &oldGone);
        if (done || oldGone)
            platform::forgetFreshFile();
    }
    // A failed output is discarded on the way out: its fresh file goes, the old file stays;
    // once the old file is gone, the complete fresh file is all there is, and it stays.
    if (oldGone)
        output.freshName.clear();
    if (!done)
        failWith(EXIT_CANNOT_WRITE, failure);
    forget(&output);
    output.hold.release();
}
