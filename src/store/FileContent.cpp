#include "store/FileContent.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t ReadChunkBytes = 64 * 1024;
constexpr int TempNameAttempts = 100;
constexpr mode_t NewFileMode = 0666; // narrowed by the umask, as any new file
constexpr mode_t OwnerOnlyMode = 0600;
constexpr mode_t PermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr mode_t AnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    // Closes now and tells whether the close succeeded: on some file systems
    // a failed write is reported only here.
    bool Close()
    {
        if (fd_ < 0) return true;
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

private:
    int fd_;
};

// A temporary file that is removed unless it was renamed into place.
class TemporaryFile {
public:
    TemporaryFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~TemporaryFile()
    {
        fd_.Close();
        if (!placed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Fd() const { return fd_.Get(); }
    bool Close() { return fd_.Close(); }
    const std::string& Path() const { return path_; }
    void MarkPlaced() { placed_ = true; }

private:
    std::string path_;
    FileDescriptor fd_;
    bool placed_ = false;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Replacing a symbolic link by rename would cut the link and leave its target
// stale; the file that is really meant is the link's final target.
std::string FileToReplace(const std::string& path)
{
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

// Refuses what a plain create-and-truncate would have been refused, and
// tells what is there now: nothing, or a regular file that may be replaced.
// Root passes every permission check, so a file without any write bit counts
// as read-only by its mode alone; for everyone else opening it for writing
// (not truncating) tells what the system allows.
std::optional<struct stat> ReplaceableFile(const std::string& target, const std::string& path)
{
    struct stat old;
    if (::stat(target.c_str(), &old) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw FileCreateError(path);
    }
    if (!S_ISREG(old.st_mode) || (old.st_mode & AnyWriteBit) == 0) throw FileCreateError(path);
    const FileDescriptor probe(OpenRetrying(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (probe.Get() < 0) throw FileCreateError(path);
    return old;
}

// No value when the directory takes no new file (not writable, say).
std::optional<TemporaryFile> CreateTemporaryBeside(const std::string& target, mode_t mode)
{
    static unsigned serial = 0;
    const std::string stem = DirectoryOf(target) + "." + BaseNameOf(target) + "." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        std::string name = stem + std::to_string(serial++) + ".tmp";
        const int fd = OpenRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) return std::optional<TemporaryFile>(std::in_place, std::move(name), fd);
        if (errno != EEXIST) break;
    }
    return std::nullopt;
}

void WriteWhole(int fd, std::string_view content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw StreamWriteError();
        done += static_cast<std::size_t>(written);
    }
}

bool SyncRetrying(int fd)
{
    int synced;
    do {
        synced = ::fsync(fd);
    } while (synced != 0 && errno == EINTR);
    return synced == 0;
}

// A writable file in a directory that takes no new file cannot be replaced
// whole: it is overwritten where it lies, then cut to the new length. A write
// that falls short leaves what was written.
void WriteInPlace(const std::string& target, const std::string& path, std::string_view content, bool ownerOnly)
{
    FileDescriptor file(OpenRetrying(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) throw FileCreateError(path);
    // Narrowed before the secret goes in; a file owned by someone else keeps
    // the mode its owner gave it.
    if (ownerOnly) {
        [[maybe_unused]] const int refused = ::fchmod(file.Get(), OwnerOnlyMode);
    }
    WriteWhole(file.Get(), content);
    if (::ftruncate(file.Get(), static_cast<off_t>(content.size())) != 0) throw StreamWriteError();
    if (!SyncRetrying(file.Get()) || !file.Close()) throw StreamWriteError();
}

// Without this a crash right after the rename could leave the old name
// pointing nowhere on some file systems; failure here changes nothing we wrote.
void SyncDirectoryBestEffort(const std::string& target)
{
    const std::string directory = DirectoryOf(target);
    FileDescriptor dir(OpenRetrying(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) ::fsync(dir.Get());
}

} // namespace

EFOpenError FileOpenError(std::string_view path)
{
    return EFOpenError("ファイル " + std::string(path) + " は開けません");
}

EFCreateError FileCreateError(std::string_view path)
{
    return EFCreateError("ファイル " + std::string(path) + " を作成できません");
}

EWriteError StreamWriteError()
{
    return EWriteError("ストリームへの書き込みエラー");
}

std::optional<std::string> ReadFileContent(const std::string& path)
{
    // Non-blocking so that a FIFO in the file's place cannot hang the open.
    FileDescriptor file(OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw FileOpenError(path);
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0) throw FileOpenError(path);
    if (S_ISDIR(info.st_mode)) return std::nullopt;
    if (!S_ISREG(info.st_mode)) throw FileOpenError(path);

    std::string content;
    // Read to the end rather than to the size seen at the start.
    std::size_t have = 0;
    for (;;) {
        const std::size_t expected = static_cast<std::size_t>(info.st_size);
        content.resize(have + (expected > have ? expected - have + 1 : ReadChunkBytes));
        const ssize_t got = ::read(file.Get(), content.data() + have, content.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw FileOpenError(path);
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    content.resize(have);
    return content;
}

void ReplaceFileContent(const std::string& path, std::string_view content, bool ownerOnly)
{
    if (path.empty()) throw FileCreateError(path);
    const std::string target = FileToReplace(path);
    const std::optional<struct stat> old = ReplaceableFile(target, path);

    std::optional<TemporaryFile> made = CreateTemporaryBeside(target, ownerOnly ? OwnerOnlyMode : NewFileMode);
    if (!made) {
        if (!old) throw FileCreateError(path);
        WriteInPlace(target, path, content, ownerOnly);
        return;
    }
    TemporaryFile& temp = *made;
    if (ownerOnly) {
        // The umask may only narrow the mode; the file then stays ours alone.
        [[maybe_unused]] const int unsupported = ::fchmod(temp.Fd(), OwnerOnlyMode);
    } else if (old) {
        // Ownership is kept where the system lets us; where it does not, the
        // file stays ours and still works, so a refusal is not an error. The
        // same goes for file systems that hold no permission bits.
        if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
            [[maybe_unused]] const int refused = ::fchown(temp.Fd(), old->st_uid, old->st_gid);
        }
        [[maybe_unused]] const int unsupported = ::fchmod(temp.Fd(), old->st_mode & PermissionBits);
    }

    WriteWhole(temp.Fd(), content);
    if (!SyncRetrying(temp.Fd()) || !temp.Close()) throw StreamWriteError();

    if (::rename(temp.Path().c_str(), target.c_str()) != 0) throw FileCreateError(path);
    temp.MarkPlaced();
    SyncDirectoryBestEffort(target);
}
