// Outputs, each of which owns its discard: a run that fails before it is done with one leaves
// nothing of it behind. A failure that unwinds (fuzzing builds) discards it in its destructor;
// failWith ends the process through exit, and a hook the first output registers for exit
// discards the rest.
//
// Outputs (the patch file, the packaged executable) replace the file of their name only once
// they are complete: they are written to a fresh file beside it, flushed to stable storage and
// then renamed over it. A device or FIFO named as the output is written directly.
//
// Interruptions wait only where they would cut something that must be whole: the rename, and an
// existing file written in place. An interruption while a fresh file or the run's temporary
// file is written removes it and ends the run at once (Windows, whose interruptions remove no
// file, holds them there too); a device or FIFO has nothing to protect, so a reader that stops
// reading never holds an interruption.
#pragma once

#include "patch/byte_stream.h"
#include "platform/platform.h"

#include <string>
#include <vector>

struct OutputFile {
    platform::File file;
    ByteSink sink;         // writes `file`
    std::string target;    // the name the output goes in place under
    std::string freshName; // empty when the output is written directly
    // Taken while interruptions must wait (see above); never while an open waits.
    platform::InterruptionHold hold;

    // Discards an output that was opened and not committed: its fresh file goes.
    ~OutputFile();
};

// Opens the output for `name`, or with `temporary` the run's own temporary file `name`, written
// in place. A name that leads to one of `inputs`, or an output that cannot be created, ends the
// run with code 5 and `failure`.
void openOutputOrFail(const std::string& name, const std::vector<platform::FileIdentity>& inputs,
                      OutputFile& output, const char* failure, bool temporary = false);
// Flushes what was written to the sink and puts the output in place; any failure ends the run
// with code 5 and `failure`, the fresh file gone.
void commitOutputOrFail(OutputFile& output, const char* failure);
