#include "store/server_address_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "rozidarude-store-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path file() const { return path_ / "srvset.con"; }

private:
    fs::path path_;
};

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything in the folder besides the address file: a failed write must leave nothing behind.
int strayFiles(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename() != "srvset.con") ++count;
    return count;
}

// Collects what is written to the standard error stream while it lives.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture() { finish(); }
    std::string finish() {
        if (saved_ < 0) return {};
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
        std::string text;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
        std::fclose(file_);
        return text;
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

store::ServerAddressFile fileIn(const TempFolder& folder,
                                store::FileSystemCalls calls = store::FileSystemCalls::system()) {
    return store::ServerAddressFile([path = folder.path().string()] { return path; }, std::move(calls));
}

}  // namespace

struct ReadCase {
    const char* name;
    std::string bytes;
    std::string expected;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadServerAddress : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadServerAddress, GivesTheFirstLineUpToTheCarriageReturn) {
    TempFolder folder;
    writeBytes(folder.file(), GetParam().bytes);
    auto file = fileIn(folder);
    ASSERT_TRUE(file.ServerAddressExists());
    EXPECT_EQ(file.ReadServerAddress(), GetParam().expected);
    EXPECT_EQ(readBytes(folder.file()), GetParam().bytes) << "reading must not touch the file";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadServerAddress,
    testing::Values(ReadCase{"crlf", "http://tovel:8080/app\r\n", "http://tovel:8080/app"},
                    ReadCase{"several_lines", "http://first\r\nhttp://second\r\n", "http://first"},
                    ReadCase{"no_line_end", "http://tovel/x?y=1", "http://tovel/x?y=1"},
                    ReadCase{"lone_lf_stays", "http://a\nhttp://b\n", "http://a\nhttp://b\n"},
                    ReadCase{"cr_alone_ends_the_line", "http://a\rhttp://b", "http://a"},
                    ReadCase{"empty_first_line", "\r\nhttp://second\r\n", ""}, ReadCase{"zero_bytes", "", ""},
                    ReadCase{"spaces_kept", "  http://tovel  \r\n", "  http://tovel  "},
                    ReadCase{"tab_kept", "\thttp://tovel\t\r\n", "\thttp://tovel\t"},
                    ReadCase{"not_utf8", "http://tovel/\xff\xfe\xc3(\r\n", "http://tovel/\xff\xfe\xc3("},
                    ReadCase{"nul_byte", std::string("http://a\0b\r\n", 12), std::string("http://a\0b", 10)},
                    ReadCase{"only_nul_bytes", std::string("\0\0\0", 3), std::string("\0\0\0", 3)},
                    ReadCase{"control_characters", "http://a\x01\x08\x1b[2J\x7f\f\v\r\n",
                             "http://a\x01\x08\x1b[2J\x7f\f\v"},
                    ReadCase{"overlong_and_surrogate_utf8", "http://\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\r\n",
                             "http://\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"},
                    ReadCase{"truncated_utf8_before_the_line_end", "http://t\xc3\xb6vel\xe2\x82\r\n",
                             "http://t\xc3\xb6vel\xe2\x82"}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

struct BoundCase {
    const char* name;
    std::size_t lineBytes;  // length of the first line
    const char* after;      // what follows it
    std::size_t expectedBytes;
    bool warns;
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class ReadServerAddressBound : public testing::TestWithParam<BoundCase> {};

TEST_P(ReadServerAddressBound, CutsALongLineWithAWarningNamingTheFile) {
    TempFolder folder;
    const std::string bytes = std::string(GetParam().lineBytes, 'a') + GetParam().after;
    writeBytes(folder.file(), bytes);
    auto file = fileIn(folder);
    StderrCapture capture;
    const std::string address = file.ReadServerAddress();
    const std::string warning = capture.finish();
    EXPECT_EQ(address, std::string(GetParam().expectedBytes, 'a'));
    if (GetParam().warns) {
        EXPECT_NE(warning.find("warning"), std::string::npos) << warning;
        EXPECT_NE(warning.find(folder.file().string()), std::string::npos) << warning;
    } else {
        EXPECT_EQ(warning, "");
    }
    EXPECT_EQ(readBytes(folder.file()), bytes) << "reading must not touch the file";
}

constexpr std::size_t kMax = store::kMaxServerAddressBytes;
INSTANTIATE_TEST_SUITE_P(Cases, ReadServerAddressBound,
                         testing::Values(BoundCase{"exactly_the_bound", kMax, "\r\n", kMax, false},
                                         BoundCase{"exactly_the_bound_at_the_end", kMax, "", kMax, false},
                                         BoundCase{"one_past_the_bound", kMax + 1, "\r\n", kMax, true},
                                         BoundCase{"endless_line", kMax * 3, "", kMax, true},
                                         // The cut falls inside a read of the file, not at its start.
                                         BoundCase{"line_end_past_the_bound", kMax + 100, "\rhttp://b\r\n",
                                                   kMax, true}),
                         [](const testing::TestParamInfo<BoundCase>& info) { return info.param.name; });

// A file of hundreds of megabytes without a line end, read in a child process so that the
// read's own peak memory is known: it must neither take the file into memory nor touch it.
TEST(ReadServerAddressBound, AHugeFileWithoutLineEndIsReadInBoundedMemory) {
    TempFolder folder;
    constexpr long long kHugeBytes = 300LL * 1024 * 1024;
    writeBytes(folder.file(), "http://tovel/");
    // Sparse: zero bytes, and no CR, up to the end; made at once and taking no disk space.
    ASSERT_EQ(::truncate(folder.file().c_str(), kHugeBytes), 0) << std::strerror(errno);
    struct stat before {};
    ASSERT_EQ(::stat(folder.file().c_str(), &before), 0);
    const fs::path warnings = folder.path() / "stderr.txt";

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        ::close(report[0]);
        const int log = ::open(warnings.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) ::_exit(10);
        struct rusage start {};
        ::getrusage(RUSAGE_SELF, &start);
        std::size_t length = 0;
        try {
            length = fileIn(folder).ReadServerAddress().size();
        } catch (...) {
            ::_exit(11);
        }
        struct rusage end {};
        ::getrusage(RUSAGE_SELF, &end);
        const long figures[2] = {end.ru_maxrss - start.ru_maxrss, static_cast<long>(length)};
        if (::write(report[1], figures, sizeof figures) != sizeof figures) ::_exit(12);
        ::_exit(0);
    }
    ::close(report[1]);
    long figures[2] = {-1, -1};
    const auto got = ::read(report[0], figures, sizeof figures);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reading child failed: " << status;
    ASSERT_EQ(got, static_cast<long>(sizeof figures));

    const long peakGrowthKiB = figures[0];
    EXPECT_EQ(figures[1], static_cast<long>(store::kMaxServerAddressBytes));
    // A reader that took the whole line into memory would grow by the file's 300 MiB; the bound
    // leaves room for the allocator and the sanitizers' bookkeeping, and no more.
    EXPECT_LT(peakGrowthKiB, kHugeBytes / 1024 / 20) << "peak memory grew by " << peakGrowthKiB << " KiB";
    const std::string warning = readBytes(warnings);
    EXPECT_NE(warning.find(folder.file().string()), std::string::npos) << warning;

    struct stat after {};
    ASSERT_EQ(::stat(folder.file().c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

struct ExistsCase {
    const char* name;
    void (*make)(const fs::path& file);
    bool exists;
};
void PrintTo(const ExistsCase& c, std::ostream* os) { *os << c.name; }

class ServerAddressExists : public testing::TestWithParam<ExistsCase> {};

TEST_P(ServerAddressExists, CountsOnlyRegularFiles) {
    TempFolder folder;
    GetParam().make(folder.file());
    EXPECT_EQ(fileIn(folder).ServerAddressExists(), GetParam().exists);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerAddressExists,
    testing::Values(
        ExistsCase{"missing", [](const fs::path&) {}, false},
        ExistsCase{"regular_file", [](const fs::path& f) { writeBytes(f, "http://x\r\n"); }, true},
        ExistsCase{"zero_bytes", [](const fs::path& f) { writeBytes(f, ""); }, true},
        ExistsCase{"directory", [](const fs::path& f) { fs::create_directory(f); }, false},
        ExistsCase{"fifo", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }, false},
        ExistsCase{"symlink_to_file",
                   [](const fs::path& f) {
                       writeBytes(f.parent_path() / "real.con", "http://x\r\n");
                       fs::create_symlink("real.con", f);
                   },
                   true},
        ExistsCase{"dangling_symlink", [](const fs::path& f) { fs::create_symlink("nowhere", f); }, false}),
    [](const testing::TestParamInfo<ExistsCase>& info) { return info.param.name; });

struct WriteCase {
    const char* name;
    std::optional<std::string> before;
    std::string text;
    std::string after;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class WriteServerAddress : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteServerAddress, LeavesExactlyOneLine) {
    TempFolder folder;
    if (GetParam().before) writeBytes(folder.file(), *GetParam().before);
    auto file = fileIn(folder);
    file.WriteServerAddress(GetParam().text);
    EXPECT_EQ(readBytes(folder.file()), GetParam().after);
    EXPECT_EQ(strayFiles(folder.path()), 0);
    EXPECT_EQ(file.ReadServerAddress(), GetParam().text) << "a text without CR comes back equal";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteServerAddress,
    testing::Values(WriteCase{"creates_the_file", std::nullopt, "http://tovel:81/a", "http://tovel:81/a\r\n"},
                    WriteCase{"empty_text_is_two_bytes", std::nullopt, "", "\r\n"},
                    WriteCase{"spaces_written", std::nullopt, "  http://x  ", "  http://x  \r\n"},
                    WriteCase{"replaces_several_lines", "http://old\r\nsecond\r\nthird", "http://new",
                              "http://new\r\n"},
                    WriteCase{"replaces_a_longer_line", "http://a-much-longer-address/path\r\n", "http://b",
                              "http://b\r\n"},
                    WriteCase{"utf8_kept", std::nullopt, "http://tövel/ä", "http://tövel/ä\r\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST(WriteServerAddressKeeps, PermissionsAndSymlink) {
    TempFolder folder;
    writeBytes(folder.path() / "real.con", "http://old\r\n");
    fs::permissions(folder.path() / "real.con", fs::perms(0640));
    fs::create_symlink("real.con", folder.file());
    fileIn(folder).WriteServerAddress("http://new");
    EXPECT_TRUE(fs::is_symlink(folder.file()));
    EXPECT_EQ(readBytes(folder.path() / "real.con"), "http://new\r\n");
    EXPECT_EQ(fs::status(folder.path() / "real.con").permissions(), fs::perms(0640));
}

// What a folder holds, entry by entry, with each regular file's bytes and permissions: a
// failed operation must leave it exactly as it was, with nothing left behind.
std::map<std::string, std::string> folderState(const fs::path& folder) {
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const auto status = fs::symlink_status(entry.path());
        std::string what;
        if (fs::is_symlink(status))
            what = "symlink to " + fs::read_symlink(entry.path()).string();
        else if (fs::is_regular_file(status))
            what = "file " + std::to_string(static_cast<unsigned>(status.permissions())) + " " +
                   readBytes(entry.path());
        else if (fs::is_directory(status))
            what = "folder";
        else
            what = "other";
        state[entry.path().filename().string()] = what;
    }
    return state;
}

int failWith(int error) {
    errno = error;
    return -1;
}

enum class Operation { Read, Write };

struct PermissionCase {
    const char* name;
    std::optional<fs::perms> existing;  // the old file's permissions, or no old file
    mode_t umask;
    fs::perms expected;
};
void PrintTo(const PermissionCase& c, std::ostream* os) { *os << c.name; }

class WriteServerAddressPermissions : public testing::TestWithParam<PermissionCase> {
protected:
    void TearDown() override { ::umask(savedUmask_); }
    mode_t savedUmask_ = ::umask(022);
};

// The temporary file is created exclusively and has its final permissions before the first byte
// of the address is in it; they are the old file's, or the usual ones for a new file.
TEST_P(WriteServerAddressPermissions, TemporaryFileIsCreatedExclusivelyWithTheFinalPermissions) {
    TempFolder folder;
    if (GetParam().existing) {
        writeBytes(folder.file(), "http://old\r\n");
        fs::permissions(folder.file(), *GetParam().existing);
    }
    ::umask(GetParam().umask);
    struct Seen {
        int flags = 0;
        std::string path;
        std::optional<unsigned> modeAtFirstWrite;
    };
    auto seen = std::make_shared<Seen>();
    auto calls = store::FileSystemCalls::system();
    calls.open = [seen](const char* path, int flags, unsigned mode) {
        if (flags & O_CREAT) {
            seen->flags = flags;
            seen->path = path;
        }
        return ::open(path, flags, static_cast<mode_t>(mode));
    };
    calls.write = [seen](int fd, const void* data, std::size_t size) -> long {
        struct stat info {};
        if (!seen->modeAtFirstWrite && ::fstat(fd, &info) == 0) seen->modeAtFirstWrite = info.st_mode & 07777;
        return ::write(fd, data, size);
    };
    fileIn(folder, calls).WriteServerAddress("http://new");

    EXPECT_EQ(seen->flags & (O_CREAT | O_EXCL | O_NOFOLLOW), O_CREAT | O_EXCL | O_NOFOLLOW);
    EXPECT_EQ(fs::path(seen->path).parent_path(), folder.path()) << "beside the file, for an atomic rename";
    ASSERT_TRUE(seen->modeAtFirstWrite.has_value());
    EXPECT_EQ(*seen->modeAtFirstWrite, static_cast<unsigned>(GetParam().expected));
    EXPECT_EQ(fs::status(folder.file()).permissions(), GetParam().expected);
    EXPECT_EQ(readBytes(folder.file()), "http://new\r\n");
    EXPECT_EQ(strayFiles(folder.path()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteServerAddressPermissions,
    testing::Values(PermissionCase{"new_file_usual_umask", std::nullopt, 022, fs::perms(0644)},
                    PermissionCase{"new_file_private_umask", std::nullopt, 077, fs::perms(0600)},
                    PermissionCase{"existing_private_file", fs::perms(0600), 022, fs::perms(0600)},
                    PermissionCase{"existing_group_writable_file_under_private_umask", fs::perms(0664), 077,
                                   fs::perms(0664)},
                    PermissionCase{"existing_write_only_for_the_owner", fs::perms(0200), 022,
                                   fs::perms(0200)}),
    [](const testing::TestParamInfo<PermissionCase>& info) { return info.param.name; });

struct FailureCase {
    const char* name;
    Operation operation;
    // Runs after the existence test has found the old file.
    void (*prepare)(const TempFolder& folder);
    void (*breakCalls)(store::FileSystemCalls& calls);
    int expectedError;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FileFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(FileFailure, NamesTheFileAndTheReasonAndLeavesEverythingAsItWas) {
    TempFolder folder;
    writeBytes(folder.file(), "http://old\r\nsecond line\r\n");
    auto calls = store::FileSystemCalls::system();
    GetParam().breakCalls(calls);
    auto file = fileIn(folder, calls);
    ASSERT_TRUE(file.ServerAddressExists());
    GetParam().prepare(folder);
    const auto before = folderState(folder.path());

    try {
        if (GetParam().operation == Operation::Read)
            file.ReadServerAddress();
        else
            file.WriteServerAddress("http://new");
        FAIL() << "the operation must fail";
    } catch (const store::FileError& error) {
        const std::string message = error.what();
        EXPECT_EQ(error.errorNumber(), GetParam().expectedError) << message;
        EXPECT_EQ(error.path(), folder.file().string());
        EXPECT_NE(message.find(folder.file().string()), std::string::npos) << message;
        EXPECT_NE(message.find(std::strerror(GetParam().expectedError)), std::string::npos) << message;
        EXPECT_EQ(
            message.rfind(GetParam().operation == Operation::Read ? "cannot read " : "cannot write ", 0), 0u)
            << message;
    }
    EXPECT_EQ(folderState(folder.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileFailure,
    testing::Values(
        FailureCase{"read_file_removed_after_the_existence_test", Operation::Read,
                    [](const TempFolder& f) { fs::remove(f.file()); }, [](store::FileSystemCalls&) {},
                    ENOENT},
        FailureCase{"read_folder_put_in_its_place", Operation::Read,
                    [](const TempFolder& f) {
                        fs::remove(f.file());
                        fs::create_directory(f.file());
                    },
                    [](store::FileSystemCalls&) {}, EISDIR},
        // Opened without blocking: a FIFO with no writer must not hang the read.
        FailureCase{"read_fifo_put_in_its_place", Operation::Read,
                    [](const TempFolder& f) {
                        fs::remove(f.file());
                        ASSERT_EQ(::mkfifo(f.file().c_str(), 0600), 0);
                    },
                    [](store::FileSystemCalls&) {}, EINVAL},
        // Root reads any file, so the refusal comes through the seam.
        FailureCase{"read_not_permitted", Operation::Read, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.open = [](const char*, int, unsigned) { return failWith(EACCES); };
                    },
                    EACCES},
        FailureCase{"write_read_only_file", Operation::Write,
                    [](const TempFolder& f) { fs::permissions(f.file(), fs::perms(0444)); },
                    [](store::FileSystemCalls&) {}, EACCES},
        FailureCase{"write_file_without_any_permission", Operation::Write,
                    [](const TempFolder& f) { fs::permissions(f.file(), fs::perms::none); },
                    [](store::FileSystemCalls&) {}, EACCES},
        FailureCase{"write_folder_put_in_its_place", Operation::Write,
                    [](const TempFolder& f) {
                        fs::remove(f.file());
                        fs::create_directory(f.file());
                    },
                    [](store::FileSystemCalls&) {}, EISDIR},
        // Root may create files in any folder, so the unwritable folder comes through the seam.
        FailureCase{"write_folder_not_writable", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.open = [](const char* path, int flags, unsigned mode) {
                            if (flags & O_CREAT) return failWith(EACCES);
                            return ::open(path, flags, static_cast<mode_t>(mode));
                        };
                    },
                    EACCES},
        FailureCase{"write_file_system_read_only", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.open = [](const char* path, int flags, unsigned mode) {
                            if (flags & O_CREAT) return failWith(EROFS);
                            return ::open(path, flags, static_cast<mode_t>(mode));
                        };
                    },
                    EROFS},
        FailureCase{"write_disk_full", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.write = [](int, const void*, std::size_t) -> long { return failWith(ENOSPC); };
                    },
                    ENOSPC},
        FailureCase{"write_disk_fills_during_the_write", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.write = [calls = 0](int fd, const void* data, std::size_t) mutable -> long {
                            if (++calls > 2) return failWith(ENOSPC);
                            return ::write(fd, data, 1);
                        };
                    },
                    ENOSPC},
        FailureCase{"write_no_progress", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.write = [](int, const void*, std::size_t) -> long { return 0; };
                    },
                    ENOSPC},
        FailureCase{"write_flush_fails", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) { c.fsync = [](int) { return failWith(EIO); }; }, EIO},
        FailureCase{"write_replace_fails", Operation::Write, [](const TempFolder&) {},
                    [](store::FileSystemCalls& c) {
                        c.rename = [](const char*, const char*) { return failWith(EXDEV); };
                    },
                    EXDEV}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(WriteServerAddressFailure, MissingFolder) {
    TempFolder folder;
    store::ServerAddressFile file([path = (folder.path() / "gone").string()] { return path; });
    EXPECT_THROW(file.WriteServerAddress("http://x"), store::FileError);
    EXPECT_FALSE(fs::exists(folder.path() / "gone"));
}
