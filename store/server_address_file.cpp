#include "store/server_address_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace store {

namespace {

// Closes a descriptor on every path out of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result, since a close can be where a write fails.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows symlinks so that replacing the file keeps a link in the program's folder intact.
std::string resolvedTarget(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string result(real);
    std::free(real);
    return result;
}

std::string temporarySibling(const std::string& target) {
    static std::mt19937_64 generator{std::random_device{}()};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(generator()));
    return folderOf(target) + "/." + target.substr(target.rfind('/') + 1) + suffix;
}

}  // namespace

FileError::FileError(const std::string& action, std::string path, int errorNumber)
    : std::runtime_error("cannot " + action + " " + path + ": " + std::strerror(errorNumber)),
      path_(std::move(path)),
      errorNumber_(errorNumber) {}

FileSystemCalls FileSystemCalls::system() {
    return FileSystemCalls{
        [](int fd, const void* data, std::size_t size) -> long { return ::write(fd, data, size); },
        [](int fd) { return ::fsync(fd); },
        [](const char* from, const char* to) { return std::rename(from, to); },
        [](const char* path, int flags, unsigned mode) {
            return ::open(path, flags, static_cast<mode_t>(mode));
        },
    };
}

ServerAddressFile::ServerAddressFile(std::function<std::string()> programFolder, FileSystemCalls calls)
    : programFolder_(std::move(programFolder)), calls_(std::move(calls)) {}

std::string ServerAddressFile::path() const {
    return programFolder_() + "/" + std::string(kServerAddressFileName);
}

bool ServerAddressFile::ServerAddressExists() const {
    struct stat info {};
    return ::stat(path().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string ServerAddressFile::ReadServerAddress() const {
    const std::string file = path();
    // Non-blocking, so that a FIFO put in the file's place after the existence test cannot
    // hang the program; anything but a regular file is refused below.
    Descriptor fd(calls_.open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (fd.get() < 0) throw FileError("read", file, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw FileError("read", file, errno);
    if (!S_ISREG(info.st_mode)) throw FileError("read", file, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);

    std::string line;
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw FileError("read", file, errno);
        }
        if (count == 0) return line;
        const char* end = static_cast<const char*>(std::memchr(buffer, '\r', count));
        std::size_t take = end ? static_cast<std::size_t>(end - buffer) : count;
        if (line.size() + take > kMaxServerAddressBytes) {
            line.append(buffer, kMaxServerAddressBytes - line.size());
            std::fprintf(stderr,
                         "rozidarude: warning: the first line of %s is longer than %zu bytes; "
                         "only its start is used\n",
                         file.c_str(), kMaxServerAddressBytes);
            return line;
        }
        line.append(buffer, take);
        if (end) return line;
    }
}

void ServerAddressFile::WriteServerAddress(std::string_view address) const {
    const std::string file = path();
    const std::string target = resolvedTarget(file);

    // Replacing by rename would otherwise bypass a read-only mark; root may write anything, so
    // a file with no write permission bit at all is refused as well.
    mode_t mode = 0666;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) throw FileError("write", file, EISDIR);
        if (::access(target.c_str(), W_OK) != 0) throw FileError("write", file, errno);
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) throw FileError("write", file, EACCES);
        mode = info.st_mode & 07777;
    } else if (errno != ENOENT) {
        throw FileError("write", file, errno);
    }

    const std::string temporary = temporarySibling(target);
    // Exclusive creation: never follow or reuse something that is already there.
    Descriptor fd(calls_.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) throw FileError("write", file, errno);
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        throw FileError("write", file, error);
    };
    // The creation mode is filtered by the umask; the new file keeps the old one's permissions.
    if (mode != 0666 && ::fchmod(fd.get(), mode) != 0) fail(errno);

    std::string content(address);
    content += "\r\n";
    std::size_t written = 0;
    while (written < content.size()) {
        long count = calls_.write(fd.get(), content.data() + written, content.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (count == 0) fail(ENOSPC);
        written += static_cast<std::size_t>(count);
    }
    if (calls_.fsync(fd.get()) != 0) fail(errno);
    if (fd.close() != 0) fail(errno);
    if (calls_.rename(temporary.c_str(), target.c_str()) != 0) fail(errno);
    // The rename itself lives in the folder: flushed too, the new address survives a power cut.
    // The content is safe either way, old or new, so a failure here is not reported.
    Descriptor folder(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
}

}  // namespace store
