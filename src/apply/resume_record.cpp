#include "apply/resume_record.h"

#include "patch/byte_stream.h"
#include "patch/patch_format.h"
#include "platform/hex_text.h"

#include <cstring>
#include <vector>

namespace {

// Records of earlier builds (MVRESUM2, which named the target by its device number) are not
// recognised.
const char RECORD_MAGIC[] = "MVRESUM3";
const std::size_t RECORD_MAGIC_SIZE = 8;
// The magic, five 64-bit fields, whether the target is a device, and the direction.
const std::size_t RECORD_SIZE = RECORD_MAGIC_SIZE + 5 * 8 + 4 + 4;
// Far more than any record holds; a larger file is not one.
const std::uint64_t LARGEST_RECORD = 1 << 20;

std::string hex(std::uint64_t value) {
    char digits[16];
    return std::string(digits, writeHex(digits, value, 1));
}

// Where records are kept, best first: the state folder, then the temporary folder.
std::vector<std::string> recordFolders() {
    std::vector<std::string> folders;
    for (const std::string& folder : {platform::stateFolder(), platform::temporaryFolder()}) {
        if (!folder.empty())
            folders.push_back(folder);
    }
    return folders;
}

// The name is derived from the target's identity and the patch, so the next run of this job
// finds it, after a reboot too, and a job with another patch never does.
std::string recordName(const std::string& folder, const ResumeJob& job) {
    return folder + "morvane-resume-" + (job.target.device ? "dev" : hex(job.target.volume)) + "-" +
           hex(job.target.index) + "-" + hex(job.patchHash);
}

std::string encode(const ResumeJob& job) {
    ByteSink sink;
    writeBytes(sink, RECORD_MAGIC, RECORD_MAGIC_SIZE);
    writeU64(sink, job.target.volume);
    writeU64(sink, job.target.index);
    writeU64(sink, job.targetSize);
    writeU64(sink, job.patchLength);
    writeU64(sink, job.patchHash);
    writeU32(sink, job.target.device ? 1 : 0);
    writeU32(sink, job.reverse ? 1 : 0);
    return std::string(sink.buffer.begin(), sink.buffer.end());
}

// False when no file of this user's has the name; `bytes` then stays empty.
bool readOwnRecord(const std::string& name, std::string& bytes) {
    platform::File file =
        platform::openFile(name, platform::Access::Read, platform::Disposition::OpenExisting,
                           platform::NO_FOLLOW | platform::NO_WAIT | platform::SHARE_READ);
    platform::FileStatus status = platform::statusOf(file);
    std::uint64_t size = 0;
    if (status.kind != platform::FileKind::Regular || status.links != 1 || !status.ownedByUser ||
        !platform::fileSize(file, size))
        return false;
    if (size > LARGEST_RECORD)
        return true;
    bytes.assign(static_cast<std::size_t>(size), '\0');
    platform::ReadResult got = platform::readAt(file, 0, &bytes[0], bytes.size());
    if (got.failed || got.count != bytes.size())
        bytes.clear();
    return true;
}

bool sameJob(const std::string& bytes, const ResumeJob& job) {
    ByteSource source =
        sourceFromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    char magic[RECORD_MAGIC_SIZE];
    if (bytes.size() != RECORD_SIZE || readBytes(source, magic, sizeof magic) != sizeof magic ||
        std::memcmp(magic, RECORD_MAGIC, sizeof magic) != 0)
        return false;
    std::uint64_t volume = readU64(source);
    std::uint64_t index = readU64(source);
    std::uint64_t targetSize = readU64(source);
    std::uint64_t patchLength = readU64(source);
    std::uint64_t patchHash = readU64(source);
    bool device = readU32(source) == 1;
    readU32(source); // the direction of the interrupted run; either direction may finish it
    // A wrong match can only come from a file that kept this identity and size; the run still
    // finds every byte of every block on one of its two sides, or changes nothing.
    return volume == job.target.volume && index == job.target.index &&
           device == job.target.device && targetSize == job.targetSize &&
           patchLength == job.patchLength && patchHash == job.patchHash;
}

bool createRecord(const std::string& name, const std::string& bytes) {
    platform::File file = platform::openFile(
        name, platform::Access::Write, platform::Disposition::CreateNew,
        platform::NO_FOLLOW | platform::NO_WAIT | platform::OWNER_ONLY | platform::SHARE_NONE);
    if (!platform::isOpen(file))
        return false;
    if (platform::writeNext(file, bytes.data(), bytes.size()) && platform::syncFile(file) &&
        platform::closeFile(file))
        return true;
    file = platform::File();
    platform::removeFile(name);
    return false;
}

} // namespace

void findResumeRecord(ResumeJob& job) {
    job.record.clear();
    if (!job.target.known)
        return;
    for (const std::string& folder : recordFolders()) {
        std::string name = recordName(folder, job);
        std::string bytes;
        if (readOwnRecord(name, bytes) && sameJob(bytes, job)) {
            job.record = name;
            return;
        }
    }
}

void writeResumeRecord(ResumeJob& job) {
    job.record.clear();
    if (!job.target.known)
        return;
    std::string bytes = encode(job);
    for (const std::string& folder : recordFolders()) {
        std::string name = recordName(folder, job);
        bool created = createRecord(name, bytes);
        // A record of this user's under this job's name that this run did not take as its own
        // is stale (its file had this identity before): this run has just found the file
        // whole. A file of anyone else's under the name stays.
        std::string stale;
        if (!created && readOwnRecord(name, stale)) {
            platform::removeFile(name);
            created = createRecord(name, bytes);
        }
        if (created) {
            platform::syncFolder(folder);
            job.record = name;
            return;
        }
    }
}

void removeResumeRecord(ResumeJob& job) {
    if (!job.record.empty())
        platform::removeFile(job.record);
    job.record.clear();
}
