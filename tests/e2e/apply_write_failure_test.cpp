#include "e2e/e2e_fixture.h"

#ifndef _WIN32

namespace {

class ApplyWriteFailure : public MorvaneRun {};

// A file size limit below the block's offset makes every write there fail (EFBIG, with
// SIGXFSZ ignored), while the file itself can still be read and verified.
TEST_F(ApplyWriteFailure, FailedWriteToTheTargetIsReported) {
    std::string target(4096, 'a');
    write("t.bin", target);
    write("fix.pat", patchBytes("t.bin", 4096, "", {{3000, "aaaa", "BBBB"}}));
    std::string command = "trap '' XFSZ; ulimit -f 1; exec '" + morvanePath() + "' --patch fix.pat";
    ProcessResult result = runProcess("/bin/sh", {"-c", command}, options());
    EXPECT_OUTPUT(result.out, "Reading patch file: fix.pat", "Patch for file t.bin (4096 bytes)",
                  "Applying patch:");
    EXPECT_FAILURE(result, 5, "Could not write to file to patch");
    EXPECT_EQ(read("t.bin"), target);
}

} // namespace

#endif
