#include "store/server_address_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
                    ReadCase{"nul_byte", std::string("http://a\0b\r\n", 12), std::string("http://a\0b", 10)}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST(ReadServerAddressBound, CutsAnEndlessLineAndLeavesTheFileAlone) {
    TempFolder folder;
    const std::string huge(store::kMaxServerAddressBytes * 3, 'a');
    writeBytes(folder.file(), huge);
    auto file = fileIn(folder);
    EXPECT_EQ(file.ReadServerAddress(), std::string(store::kMaxServerAddressBytes, 'a'));
    EXPECT_EQ(fs::file_size(folder.file()), huge.size());
}

TEST(ReadServerAddressFailure, NamesTheFileAndTheReason) {
    TempFolder folder;
    auto file = fileIn(folder);  // removed between the existence test and the read
    try {
        file.ReadServerAddress();
        FAIL() << "reading a missing file must fail";
    } catch (const store::FileError& error) {
        EXPECT_EQ(error.errorNumber(), ENOENT);
        EXPECT_NE(std::string(error.what()).find(folder.file().string()), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(std::strerror(ENOENT)), std::string::npos) << error.what();
    }
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

struct WriteFailureCase {
    const char* name;
    void (*prepare)(const TempFolder& folder);
    void (*breakCalls)(store::FileSystemCalls& calls);
    int expectedError;
};
void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << c.name; }

class WriteServerAddressFailure : public testing::TestWithParam<WriteFailureCase> {};

TEST_P(WriteServerAddressFailure, LeavesTheOldContentAndNamesTheReason) {
    TempFolder folder;
    const std::string old = "http://old\r\nsecond line\r\n";
    writeBytes(folder.file(), old);
    GetParam().prepare(folder);
    auto calls = store::FileSystemCalls::system();
    GetParam().breakCalls(calls);
    auto file = fileIn(folder, calls);
    try {
        file.WriteServerAddress("http://new");
        FAIL() << "the write must fail";
    } catch (const store::FileError& error) {
        EXPECT_EQ(error.errorNumber(), GetParam().expectedError) << error.what();
        EXPECT_NE(std::string(error.what()).find(folder.file().string()), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(std::strerror(GetParam().expectedError)), std::string::npos)
            << error.what();
    }
    fs::permissions(folder.file(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(readBytes(folder.file()), old);
    EXPECT_EQ(strayFiles(folder.path()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteServerAddressFailure,
    testing::Values(WriteFailureCase{"read_only_file",
                                     [](const TempFolder& f) { fs::permissions(f.file(), fs::perms(0444)); },
                                     [](store::FileSystemCalls&) {}, EACCES},
                    WriteFailureCase{"disk_full", [](const TempFolder&) {},
                                     [](store::FileSystemCalls& c) {
                                         c.write = [](int, const void*, std::size_t) -> long {
                                             errno = ENOSPC;
                                             return -1;
                                         };
                                     },
                                     ENOSPC},
                    WriteFailureCase{"short_writes_then_full", [](const TempFolder&) {},
                                     [](store::FileSystemCalls& c) {
                                         c.write = [calls = 0](int fd, const void* data,
                                                               std::size_t) mutable -> long {
                                             if (++calls > 2) {
                                                 errno = ENOSPC;
                                                 return -1;
                                             }
                                             return ::write(fd, data, 1);
                                         };
                                     },
                                     ENOSPC},
                    WriteFailureCase{"flush_fails", [](const TempFolder&) {},
                                     [](store::FileSystemCalls& c) {
                                         c.fsync = [](int) {
                                             errno = EIO;
                                             return -1;
                                         };
                                     },
                                     EIO},
                    WriteFailureCase{"replace_fails", [](const TempFolder&) {},
                                     [](store::FileSystemCalls& c) {
                                         c.rename = [](const char*, const char*) {
                                             errno = EXDEV;
                                             return -1;
                                         };
                                     },
                                     EXDEV}),
    [](const testing::TestParamInfo<WriteFailureCase>& info) { return info.param.name; });

TEST(WriteServerAddressFailure, MissingFolder) {
    TempFolder folder;
    store::ServerAddressFile file([path = (folder.path() / "gone").string()] { return path; });
    EXPECT_THROW(file.WriteServerAddress("http://x"), store::FileError);
    EXPECT_FALSE(fs::exists(folder.path() / "gone"));
}
