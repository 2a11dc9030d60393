// Reads a fuzzed server address file and runs the dialog's store step on a fuzzed typed text,
// checking what must hold for any bytes in the file and any text in the box.
//
// The input is split by FuzzedDataProvider: the file's bytes first (a backslash followed by
// another character ends them, "\\" stands for one backslash), then the typed text; option
// bits and a length are taken from the input's last bytes.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "dialog/dialog.h"
#include "store/server_address_file.h"

namespace {

namespace fs = std::filesystem;

std::string folder;
std::string filePath;
int captureFd = -1;

[[noreturn]] void broken(const char* what, int line) {
    std::fprintf(stderr, "server_address_fuzzer.cpp:%d: broken: %s\n", line, what);
    std::abort();
}

#define CHECK(condition) \
    if (!(condition)) broken(#condition, __LINE__)

std::string readAll(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    CHECK(fd >= 0);
    std::string bytes;
    char buffer[65536];
    for (long count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, count);
    ::close(fd);
    return bytes;
}

void writeAll(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    CHECK(fd >= 0);
    CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<long>(bytes.size()));
    ::close(fd);
}

// The read's warnings go to a file of their own while it runs, so they can be checked.
std::string readCapturingStderr(const store::ServerAddressFile& file, std::string& warning) {
    CHECK(::ftruncate(captureFd, 0) == 0);
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(captureFd, STDERR_FILENO);
    std::string address = file.ReadServerAddress();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    warning.clear();
    char buffer[4096];
    for (long count, at = 0; (count = ::pread(captureFd, buffer, sizeof buffer, at)) > 0; at += count)
        warning.append(buffer, count);
    return address;
}

// The commit compares with end spaces removed, and only spaces: a plain second version of that.
std::string withoutEndSpaces(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && text[first] == ' ') ++first;
    return text.substr(first);
}

void removeFolder() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::remove(folder + ".stderr", ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "rozidarude-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    filePath = folder + "/" + std::string(store::kServerAddressFileName);
    captureFd = ::open((folder + ".stderr").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (captureFd < 0) std::abort();
    std::atexit(removeFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMax = store::kMaxServerAddressBytes;
    FuzzedDataProvider input(data, size);
    std::string content = input.ConsumeRandomLengthString(size);
    const auto options = input.ConsumeIntegral<std::uint8_t>();
    const bool present = (options & 1) == 0;
    // A short input may stand for a first line around the read's bound.
    if (options & 2) {
        const std::size_t padding = kMax - 8 + input.ConsumeIntegralInRange<std::size_t>(0, 16);
        content.insert(0, padding, static_cast<char>(input.ConsumeIntegral<std::uint8_t>()));
    }
    const std::string typed = input.ConsumeRemainingBytesAsString();

    const store::ServerAddressFile file([] { return folder; });
    if (present)
        writeAll(filePath, content);
    else
        ::unlink(filePath.c_str());
    CHECK(file.ServerAddressExists() == present);

    std::string stored;
    if (present) {
        std::string warning;
        stored = readCapturingStderr(file, warning);
        const std::string firstLine = content.substr(0, content.find('\r'));
        CHECK(stored.find('\r') == std::string::npos);
        CHECK(content.compare(0, stored.size(), stored) == 0);
        CHECK(stored.size() <= kMax);
        if (firstLine.size() <= kMax) {
            CHECK(stored == firstLine);
            CHECK(warning.empty());
        } else {
            CHECK(stored.size() == kMax);
            CHECK(warning.find(filePath) != std::string::npos);
        }
        CHECK(readAll(filePath) == content);
    }

    CHECK(dialog::TrimSpaces(typed) == withoutEndSpaces(typed));
    const bool changed = !present || withoutEndSpaces(typed) != stored;
    const bool wrote = dialog::StoreServerAddress(file, typed);
    CHECK(wrote == changed);
    CHECK(readAll(filePath) == (wrote ? typed + "\r\n" : content));
    // Nothing but the file is left in the folder: no temporary file survives.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++entries;
    CHECK(entries == 1);

    // What was just stored is what the next commit of the same text finds: it writes nothing.
    if (wrote && typed.find('\r') == std::string::npos && typed.size() <= kMax &&
        withoutEndSpaces(typed) == typed)
        CHECK(!dialog::StoreServerAddress(file, typed));
    return 0;
}
