// Outputs (the patch file, the packaged executable) replace the file of their name only once
// they are complete: they are written to a fresh file beside it, flushed to stable storage and
// then renamed over it. A device or FIFO named as the output is written directly.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

struct OutputFile {
    platform::File file;
    std::string target;    // the name the output goes in place under
    std::string freshName; // empty when the output is written directly
};

// True when the file `name` leads to is one of `inputs`: an output never replaces what the
// run reads.
bool replacesAnInput(const std::string& name, const std::vector<platform::FileIdentity>& inputs);

// Opens the output for `name`; false when it cannot be created. Interruptions are held from
// the open (never during it) until the output is committed or discarded.
bool openOutput(const std::string& name, OutputFile& output);
// Flushes the output and puts it in place; false on any failure, the fresh file then gone.
bool commitOutput(OutputFile& output);

// Opens the run's own temporary file `name` as an output written in place.
bool openTemporaryOutput(const std::string& name, OutputFile& output);

// Marks a temporary file of the run's (an extracted or intermediate patch) to be removed if
// the run fails or is interrupted; a run that completes removes it itself, with
// removeTemporary.
void removeWhenRunFails(const std::string& name);
void removeTemporary(const std::string& name);
// While it is set, a failing run closes `file`, a temporary file it still reads, before it
// removes the temporary files (Windows deletes no file that is open); null for none.
void closeBeforeRemoving(platform::File* file);

// Closes the outputs not yet committed and removes their fresh files, and removes the run's
// temporary files; a failing run calls it on its way out.
void discardPendingOutputs();
