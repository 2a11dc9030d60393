#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "tests/support/program_fixture.h"

using testsupport::ProgramTest;

namespace {

// The stored address is down: the first navigation to it fails and brings up the dialog.
// Later navigations succeed, so what a commit opens stays open.
auto failFirstServerNavigation() {
    return [failed = false](std::string_view address) mutable {
        if (failed || address == "about:blank") return false;
        failed = true;
        return true;
    };
}

struct FileStamp {
    ino_t inode;
    timespec modified;
};

std::optional<FileStamp> stampOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileStamp{info.st_ino, info.st_mtim};
}

}  // namespace

struct CommitCase {
    const char* name;
    std::string stored;  // the file's bytes when the dialog comes up
    bool removedBeforeCommit;
    std::string typed;
    std::string fileAfter;
    bool written;  // false: the file is not touched at all
};

void PrintTo(const CommitCase& c, std::ostream* os) { *os << c.name; }

enum class Trigger { EnterInText1, ClickOnOK };

class Commit : public ProgramTest, public testing::WithParamInterface<std::tuple<CommitCase, Trigger>> {};

TEST_P(Commit, StoresWhenTheTrimmedTextDiffersAndOpensTheTextAsTyped) {
    const auto& [row, trigger] = GetParam();
    writeFile(row.stored);
    host().failNavigations(failFirstServerNavigation());
    start();
    expectRunning();
    ASSERT_NE(window("Dialog"), nullptr) << traceText();
    ASSERT_EQ(window("Dialog")->showMode(), host::ShowMode::Modeless);
    if (row.removedBeforeCommit) std::filesystem::remove(filePath());
    const auto before = stampOf(filePath());

    host().typeText("Dialog", "Text1", row.typed);
    if (trigger == Trigger::EnterInText1)
        host().pressKey("Dialog", "Text1", 13);
    else
        host().click("Dialog", "OKButton");
    host().clearTrace();
    host().runUntilIdle();
    expectRunning();

    EXPECT_EQ(fileBytes(), row.fileAfter);
    const auto after = stampOf(filePath());
    ASSERT_TRUE(after.has_value());
    if (row.written) {
        // Written by replacement, so a write shows as a new file even when the bytes are equal.
        if (before) {
            EXPECT_NE(after->inode, before->inode) << "the file must be rewritten";
        }
    } else {
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(after->inode, before->inode) << "the file must not be touched";
        EXPECT_EQ(after->modified.tv_sec, before->modified.tv_sec);
        EXPECT_EQ(after->modified.tv_nsec, before->modified.tv_nsec);
    }
    EXPECT_EQ(navigations(), std::vector<std::string>{row.typed}) << traceText();
    EXPECT_EQ(window("Dialog"), nullptr);
    EXPECT_TRUE(window("Form1")->shown());
    // Navigate, three pumps, close the dialog, show the main window: in that order.
    const long navigated = positionOf("navigate Form1.WebBrowser1 " + row.typed);
    const long closed = positionOf("unload Dialog");
    EXPECT_EQ(linesStartingWith("pump").size(), 3u) << traceText();
    EXPECT_LT(navigated, positionOf("pump"));
    EXPECT_LT(positionOf("pump"), closed);
    EXPECT_LT(closed, positionOf("show Form1 modeless")) << traceText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Commit,
    testing::Combine(
        testing::Values(
            CommitCase{"no_file", "http://down\r\n", true, "  http://new  ", "  http://new  \r\n", true},
            CommitCase{"equal", "http://down\r\n", false, "http://down", "http://down\r\n", false},
            CommitCase{"differs_only_by_end_spaces", "http://down\r\n", false, "  http://down ",
                       "http://down\r\n", false},
            CommitCase{"stored_line_with_end_spaces", " http://down \r\n", false, " http://down ",
                       " http://down \r\n", true},
            CommitCase{"case_only", "http://Down\r\n", false, "http://down", "http://down\r\n", true},
            CommitCase{"tab_is_not_trimmed", "http://down\r\n", false, "\thttp://down", "\thttp://down\r\n",
                       true},
            CommitCase{"only_the_first_line_compared", "http://down\r\nsecond\r\n", false, "http://down",
                       "http://down\r\nsecond\r\n", false},
            CommitCase{"empty_text_empty_stored", "\r\n", false, "", "\r\n", false},
            CommitCase{"empty_text_non_empty_stored", "http://down\r\n", false, "", "\r\n", true},
            CommitCase{"spaces_only_empty_stored", "\r\n", false, "   ", "\r\n", false},
            CommitCase{"spaces_only_non_empty_stored", "http://down\r\n", false, "   ", "   \r\n", true},
            CommitCase{"zero_byte_file_new_text", "", false, "http://new", "http://new\r\n", true},
            CommitCase{"zero_byte_file_empty_text", "", false, "", "", false}),
        testing::Values(Trigger::EnterInText1, Trigger::ClickOnOK)),
    [](const testing::TestParamInfo<std::tuple<CommitCase, Trigger>>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == Trigger::EnterInText1 ? "_enter" : "_ok");
    });

int failWith(int error) {
    errno = error;
    return -1;
}

struct CommitFailureCase {
    const char* name;
    // Broken calls fail only while *fault is true: from when the dialog is up until the repair.
    void (*inject)(store::FileSystemCalls& calls, std::shared_ptr<bool> fault);
    // Breaks and mends the file itself.
    void (*prepare)(const std::filesystem::path& file);
    void (*repair)(const std::filesystem::path& file);
    int expectedError;
    const char* action;  // "read" or "write": which step failed
};
void PrintTo(const CommitFailureCase& c, std::ostream* os) { *os << c.name; }

class CommitWriteFailure : public ProgramTest, public testing::WithParamInterface<CommitFailureCase> {};

TEST_P(CommitWriteFailure, KeepsTheDialogAndTheTextAndNavigatesNothingUntilTheUserFixesIt) {
    const CommitFailureCase& row = GetParam();
    auto fault = std::make_shared<bool>(false);
    row.inject(calls_, fault);
    writeFile("http://down\r\n");
    host().failNavigations(failFirstServerNavigation());
    start();
    ASSERT_NE(window("Dialog"), nullptr) << traceText();
    *fault = true;
    row.prepare(filePath());
    host().typeText("Dialog", "Text1", "http://new");
    host().pressKey("Dialog", "Text1", 13);
    host().clearTrace();
    host().runUntilIdle();
    expectRunning();

    ASSERT_EQ(host().messages().size(), 1u) << traceText();
    const std::string& message = host().messages()[0];
    EXPECT_NE(message.find(filePath().string()), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(row.expectedError)), std::string::npos) << message;
    EXPECT_NE(message.find(std::string("cannot ") + row.action), std::string::npos) << message;
    EXPECT_EQ(fileBytes(), "http://down\r\n");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()), 1)
        << "nothing left beside the file";
    EXPECT_TRUE(navigations().empty()) << traceText();
    ASSERT_NE(window("Dialog"), nullptr);
    EXPECT_TRUE(window("Dialog")->shown());
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://new");

    // Once the file can be written, OK stores and opens the text still in the box.
    *fault = false;
    row.repair(filePath());
    host().click("Dialog", "OKButton");
    host().runUntilIdle();
    expectRunning();
    EXPECT_EQ(host().messages().size(), 1u);
    EXPECT_EQ(fileBytes(), "http://new\r\n");
    EXPECT_EQ(viewAddress(), "http://new");
    EXPECT_EQ(window("Dialog"), nullptr);
}

void noBrokenCalls(store::FileSystemCalls&, std::shared_ptr<bool>) {}
void untouched(const std::filesystem::path&) {}

INSTANTIATE_TEST_SUITE_P(
    Table, CommitWriteFailure,
    testing::Values(
        CommitFailureCase{"read_only_file", noBrokenCalls,
                          [](const std::filesystem::path& f) {
                              std::filesystem::permissions(f, std::filesystem::perms(0444));
                          },
                          [](const std::filesystem::path& f) {
                              std::filesystem::permissions(f, std::filesystem::perms(0644));
                          },
                          EACCES, "write"},
        CommitFailureCase{"disk_full",
                          [](store::FileSystemCalls& calls, std::shared_ptr<bool> fault) {
                              calls.write = [fault](int fd, const void* data, std::size_t size) -> long {
                                  if (*fault) return failWith(ENOSPC);
                                  return ::write(fd, data, size);
                              };
                          },
                          untouched, untouched, ENOSPC, "write"},
        CommitFailureCase{"folder_not_writable",
                          [](store::FileSystemCalls& calls, std::shared_ptr<bool> fault) {
                              calls.open = [fault](const char* path, int flags, unsigned mode) {
                                  if (*fault && (flags & O_CREAT)) return failWith(EACCES);
                                  return ::open(path, flags, static_cast<mode_t>(mode));
                              };
                          },
                          untouched, untouched, EACCES, "write"},
        CommitFailureCase{"replace_fails",
                          [](store::FileSystemCalls& calls, std::shared_ptr<bool> fault) {
                              calls.rename = [fault](const char* from, const char* to) {
                                  if (*fault) return failWith(EIO);
                                  return std::rename(from, to);
                              };
                          },
                          untouched, untouched, EIO, "write"},
        // The commit reads the stored line to compare; that read failing is reported the same way.
        CommitFailureCase{"stored_file_unreadable",
                          [](store::FileSystemCalls& calls, std::shared_ptr<bool> fault) {
                              calls.open = [fault](const char* path, int flags, unsigned mode) {
                                  if (*fault && !(flags & O_CREAT)) return failWith(EACCES);
                                  return ::open(path, flags, static_cast<mode_t>(mode));
                              };
                          },
                          untouched, untouched, EACCES, "read"}),
    [](const testing::TestParamInfo<CommitFailureCase>& info) { return info.param.name; });

class DialogKeys : public ProgramTest {};

TEST_F(DialogKeys, OnlyEnterCommitsFromTheTextBox) {
    writeFile("http://down\r\n");
    host().failNavigations(failFirstServerNavigation());
    start();
    host().typeText("Dialog", "Text1", "http://new");
    host().pressKey("Dialog", "Text1", 27);  // Escape
    host().pressKey("Dialog", "Text1", 10);  // Ctrl+Enter gives a line feed, not Enter
    host().runUntilIdle();
    expectRunning();
    ASSERT_NE(window("Dialog"), nullptr);
    EXPECT_TRUE(window("Dialog")->shown());
    EXPECT_EQ(fileBytes(), "http://down\r\n");
}

TEST_F(DialogKeys, FocusGoesBackToTheTextBoxEachTimeTheDialogIsActivatedFromTheMainWindow) {
    writeFile("http://down\r\n");
    host().failNavigations(failFirstServerNavigation());
    start();
    EXPECT_EQ(window("Dialog")->focusedControl(), "Text1");
    EXPECT_EQ(linesStartingWith("focus Dialog.Text1").size(), 1u);

    host().activate("Form1");
    host().activate("Dialog");
    // Another program in between does not make the dialog active again in the program's eyes.
    host().activate("Dialog");
    host().runUntilIdle();
    EXPECT_EQ(linesStartingWith("focus Dialog.Text1").size(), 2u) << traceText();
}
