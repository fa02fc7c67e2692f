// Opening the files a run reads, each failing with its own error line.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

// Opens `name` for reading and takes its size; a file that cannot be opened ends the run with
// code 4 and `failure`. A `locked` file (the files compared, the patch applied) is opened so that
// no other run writes it while it is open (POSIX: a shared lock; Windows: writers are kept out),
// and not while another run writes it.
platform::File openInputOrFail(const std::string& name, const char* failure, std::uint64_t& size,
                               bool locked = false);
