// The statuses the process ends with.
#pragma once

// Process exit statuses; the messages that go with them are fixed texts at each failure.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_MISSING_NAME = 1,
    EXIT_NO_PATCH_NAME = 2,
    EXIT_INCOMPLETE_PAIR = 3,
    EXIT_CANNOT_OPEN = 4,
    EXIT_CANNOT_WRITE = 5,
    EXIT_SIZE_MISMATCH = 6,
    EXIT_NOTHING_TO_PATCH = 7,
    EXIT_NOT_A_PATCH = 8,
    EXIT_ALREADY_PATCHED = 9,
    EXIT_DATA_MISMATCH = 10,
    EXIT_EMPTY_ARGV = -1,
};
