#include "apply/show_message.h"

#include "platform/platform.h"
#include "services/console.h"

namespace {

// The temporary folder is shared with other users: the message goes only into a file that is
// this user's own, never through a link planted under the fixed name, and never into a FIFO,
// which would block the run or hand the message to whoever made it.
// With the temporary folder being the one that holds the patch or the target, the fixed name
// can be one of them; their identities are compared before anything is written.
// A target name that leads to the network is never opened (see apply_patch.cpp), so whether it
// is the fixed name cannot be told: the message is printed instead.
bool writeMessageFile(const std::string& path, const std::string& message,
                      const platform::FileIdentity& patch, const std::string& targetName) {
    if (platform::isNetworkOrDeviceName(targetName))
        return false;
    platform::File file = platform::openFile(
        path, platform::Access::Write, platform::Disposition::OpenOrCreate,
        platform::NO_FOLLOW | platform::NO_WAIT | platform::OWNER_ONLY | platform::SHARE_NONE);
    platform::FileStatus status = platform::statusOf(file);
    if (status.kind != platform::FileKind::Regular || status.links != 1 || !status.ownedByUser)
        return false;
    platform::FileIdentity identity = platform::identityOf(file);
    if (platform::sameFile(identity, patch) ||
        platform::sameFile(identity, platform::identityOfName(targetName)) ||
        !platform::truncateFile(file, 0))
        return false;
    bool written = platform::writeNext(file, message.data(), message.size());
    return platform::closeFile(file) && written;
}

} // namespace

void showPatchMessage(const std::string& message, const platform::FileIdentity& patch,
                      const std::string& targetName) {
    std::string folder = platform::temporaryFolder();
    if (!folder.empty()) {
        std::string path = folder + "PATCH.TXT";
        if (writeMessageFile(path, message, patch, targetName) && platform::startViewer(path))
            return;
    }
    printText(message);
    printLine("");
}
