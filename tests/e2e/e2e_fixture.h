// Runs the real program in a scratch folder of its own, with a private temporary folder and no
// graphical session, so that no run depends on or touches the machine's state.
#pragma once

#include "seams/fault_plan.h"
#include "support/files.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <random>

#include <string>
#include <vector>

class MorvaneRun : public ::testing::Test {
  protected:
    ScratchFolder folder;

    // The state folder's parent exists, as %LOCALAPPDATA% always does.
    void SetUp() override {
        makeFolder(temporaryFolder());
        makeFolder(folder / "state");
    }

    ProcessOptions options() const {
        ProcessOptions result;
        result.workingDirectory = folder.path();
        result.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
        result.setEnv = {
            {"TMPDIR", temporaryFolder()}, {"TMP", temporaryFolder()}, {"TEMP", temporaryFolder()}};
        result.set("XDG_STATE_HOME", folder / "state").set("LOCALAPPDATA", folder / "state");
        return result;
    }
    std::string temporaryFolder() const { return folder / "tmp"; }
    // Where the program keeps its resume records for these runs.
    std::string recordFolder() const {
#ifdef _WIN32
        return folder / "state\\Morvane";
#else
        return folder / "state/morvane";
#endif
    }
    // The resume records there, none when the folder is missing.
    std::vector<std::string> records() const {
        return fileExists(recordFolder()) ? namesIn(recordFolder()) : std::vector<std::string>{};
    }

    ProcessResult run(const std::vector<std::string>& arguments) const {
        return runProcess(morvanePath(), arguments, options());
    }
    ProcessResult run(const std::vector<std::string>& arguments, const ProcessOptions& with) {
        return runProcess(morvanePath(), arguments, with);
    }
    // The same with the program built with the fault seams, `plan` planted.
    ProcessResult runSeamed(const std::vector<std::string>& arguments,
                            const faults::Plan& plan) const {
        return ::runSeamed(arguments, plan, options());
    }
    ProcessResult runSeamed(const std::vector<std::string>& arguments, const faults::Plan& plan,
                            const ProcessOptions& with) const {
        return ::runSeamed(arguments, plan, with);
    }

    void write(const std::string& name, const std::string& bytes) const {
        writeFile(folder / name, bytes);
    }
    std::string read(const std::string& name) const {
        return readFile(folder / name);
    }
};

// A 64 KiB target of seeded random bytes and a patched form of it with `blocks` one-byte changes,
// 1,500 bytes apart: the pair the data-safety tests patch.
inline void makeSpacedChanges(unsigned blocks, std::string& original, std::string& patched) {
    std::mt19937 random(9);
    original.resize(64 * 1024);
    for (char& byte : original)
        byte = static_cast<char>(random());
    patched = original;
    for (unsigned i = 0; i < blocks; ++i)
        patched[i * 1500 + 7] = static_cast<char>(~patched[i * 1500 + 7]);
}

// A patch file built by hand: header fields, then (offset, old bytes, new bytes) records.
struct RecordedBlock {
    std::uint32_t offset;
    std::string original, patched;
};

inline std::string patchBytes(const std::string& target, std::uint32_t size,
                              const std::string& message,
                              const std::vector<RecordedBlock>& blocks) {
    std::string bytes = "PATCH1" + le32(static_cast<std::uint32_t>(target.size())) + target +
                        le32(size) + le32(static_cast<std::uint32_t>(message.size())) + message;
    for (const RecordedBlock& block : blocks)
        bytes += le32(block.offset) + le32(static_cast<std::uint32_t>(block.original.size())) +
                 block.original + block.patched;
    return bytes;
}

// Output lines joined with line feeds, each line ended.
inline std::string textOf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// Standard output holds exactly these lines: byte for byte where the console writes line feeds,
// line by line where it writes CR LF.
#ifdef _WIN32
#define EXPECT_OUTPUT(output, ...)                                                                 \
    EXPECT_EQ(outputLines(output), (std::vector<std::string>{__VA_ARGS__}))
#else
#define EXPECT_OUTPUT(output, ...) EXPECT_EQ(output, textOf({__VA_ARGS__}))
#endif

// The run failed with `code` and exactly one error line, "Error: " and `message` (any string),
// on standard error. `result` is evaluated once.
#define EXPECT_FAILURE(result, code, message)                                                      \
    do {                                                                                           \
        const ProcessResult& failed_ = (result);                                                   \
        EXPECT_EQ(failed_.exitCode, code);                                                         \
        EXPECT_OUTPUT(failed_.err, "Error: " + std::string(message));                              \
    } while (0)
