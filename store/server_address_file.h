#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace store {

// The built-in server address used while the server address file is missing: http and the
// server machine's host name on the local network, nothing else.
inline constexpr std::string_view kDefaultServerAddress = "http://tovel";

inline constexpr std::string_view kServerAddressFileName = "srvset.con";

// A real address is a few hundred bytes; reading stops here so that a damaged or hostile file
// can neither hang the program nor exhaust its memory.
inline constexpr std::size_t kMaxServerAddressBytes = 64 * 1024;

// A file operation that failed: names the file and the system's reason.
class FileError : public std::runtime_error {
public:
    FileError(const std::string& action, std::string path, int errorNumber);
    const std::string& path() const { return path_; }
    int errorNumber() const { return errorNumber_; }

private:
    std::string path_;
    int errorNumber_;
};

// The seam through which reading and writing reach the file system, so tests can make them
// fail the way a full disk, an unwritable folder or a vanished file would, also as root.
struct FileSystemCalls {
    std::function<long(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(const char* from, const char* to)> rename;
    // Opens the file for reading, or creates the write's temporary file.
    std::function<int(const char* path, int flags, unsigned mode)> open;
    static FileSystemCalls system();
};

// The server address file "srvset.con" in the program's folder: the server address on its
// first line, ended by CR LF. Each operation builds the path anew and opens, uses and closes
// the file before it returns; nothing is kept in memory between operations.
class ServerAddressFile {
public:
    explicit ServerAddressFile(std::function<std::string()> programFolder,
                               FileSystemCalls calls = FileSystemCalls::system());

    std::string path() const;

    // True when a regular file (symlinks followed) of that name exists. A directory, FIFO,
    // socket or device of that name counts as missing. Never fails.
    bool ServerAddressExists() const;

    // The bytes up to the first CR, or up to the end of the file when there is none. A lone LF
    // stays in the value. A file of zero bytes gives the empty text. Throws FileError.
    std::string ReadServerAddress() const;

    // Replaces the whole content with the text and CR LF, atomically: the old content stays
    // intact when anything fails. A file without any write permission is refused. Throws
    // FileError.
    void WriteServerAddress(std::string_view address) const;

private:
    std::function<std::string()> programFolder_;
    FileSystemCalls calls_;
};

}  // namespace store
