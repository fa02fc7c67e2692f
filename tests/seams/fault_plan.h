// Faults planted into the program's file calls, in test builds only. The program started by
// end-to-end tests as morvane_seamed reads its plan from MORVANE_TEST_FAULT, in the form
// "<call>:<n>:<action>". The calls: ReadAt (reads of any file but the program's own), OwnReadAt
// (reads of the program's own file; those of start-up, before any other file is touched, are never
// counted, so plans do not depend on how start-up looks for an embedded patch), WriteAt, WriteNext,
// SyncFile (flushes to stable storage), Replace (the rename that puts a fresh file in place
// of the old one), Open (every open by name, after its checks by name and before the open
// itself) and Lock (every lock taken on an open file). n counts that call from 1 over the run
// ("<n>+": that call and every later one). The actions: fail (nothing moves, the call reports an
// error), short (half the bytes move; a read then looks like the end of the file, a write reports
// an error), kill (the call completes, then the process is killed without any clean-up), interrupt,
// terminate, hangup or quit (the call completes, then the process sends itself SIGINT, SIGTERM,
// SIGHUP or SIGQUIT; POSIX only, but for interrupt, which on Windows delivers Ctrl-C as the system
// does), stop (the call completes, then the process stops itself with SIGSTOP until it is sent
// SIGCONT; POSIX only), change (before the call, the file's last byte is flipped on disk, as if
// another program wrote to it; POSIX only), cut (before the call, the file is cut to half its size
// on disk; POSIX only), fifo (Open: the name is replaced by a FIFO, as another program might do
// between the check and the open; POSIX only), unable or unable2 (Replace, when it replaces an
// existing file: the old file is removed and the replace answers ERROR_UNABLE_TO_MOVE_REPLACEMENT
// or ..._2, as Windows does when it fails half-way; a rename that is no such replace, the move
// that follows one included, fails as fail does). A flush or a rename moves no bytes: short fails
// it as fail does, and change does nothing. A failing Lock fails as on a file system without
// locks. MORVANE_TEST_CONSOLE=own makes the Windows program take its console for one of its own
// (as after a double click), =shared for one it shares; a colon and an image name after either
// (own:explorer.exe) make that the image of the process that started it, which it otherwise
// looks up.
#pragma once

#include "platform/platform.h"

#include <string>

namespace faults {

enum class Call { ReadAt, OwnReadAt, WriteAt, WriteNext, SyncFile, Replace, Open, Lock };
enum class Action {
    None,
    Fail,
    Short,
    Kill,
    Interrupt,
    Terminate,
    Hangup,
    Quit,
    Stop,
    Change,
    Cut,
    Fifo,
    Unable,
    Unable2
};

struct Plan {
    Call call = Call::ReadAt;
    unsigned number = 0; // 0: no fault
    Action action = Action::None;
    bool onward = false; // also every later call
};

// Plants a fault for in-process tests and restarts the counts; Plan() removes it.
void plant(const Plan& plan);

// How many calls of this kind the process made since the plan was last planted.
unsigned counted(Call call);

// The environment entry that plants `plan` in morvane_seamed, e.g. "WriteAt:2:kill".
std::string describe(const Plan& plan);

} // namespace faults
