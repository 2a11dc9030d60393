#include <string>

#include "tests/support/program_fixture.h"

using host::ShowMode;
using host::headless::Delivery;
using testsupport::ProgramTest;

class Recovery : public ProgramTest {
protected:
    // A server that is down for every address containing "down".
    void serverDown(Delivery delivery = Delivery::Pending) {
        host().failNavigations(
            [](std::string_view address) { return address.find("down") != std::string_view::npos; },
            delivery);
    }
};

TEST_F(Recovery, AnUnreachableStoredAddressBlanksTheViewAndBringsUpThePrefilledDialog) {
    writeFile("http://down:8080/app\r\n");
    serverDown();
    start();
    expectRunning();
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(viewAddress(), "about:blank");
    ASSERT_NE(window("Dialog"), nullptr);
    EXPECT_EQ(window("Dialog")->showMode(), ShowMode::Modeless);
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://down:8080/app");
}

TEST_F(Recovery, RepeatedFailuresKeepWhatTheUserTyped) {
    writeFile("http://down\r\n");
    serverDown();
    start();
    host().typeText("Dialog", "Text1", "http://half-typ");
    host().reportNavigateError("Form1", "WebBrowser1");
    host().reportNavigateError("Form1", "WebBrowser1");
    host().runUntilIdle();
    expectRunning();
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://half-typ");
    EXPECT_EQ(linesStartingWith("load Dialog").size(), 1u) << "the load step must not run again\n"
                                                           << traceText();
    EXPECT_EQ(linesStartingWith("show Dialog modeless").size(), 3u);
    EXPECT_EQ(navigations(),
              (std::vector<std::string>{"http://down", "about:blank", "about:blank", "about:blank"}));
}

TEST_F(Recovery, ACommitThatFailsAgainBringsTheDialogBackPrefilledFromTheFile) {
    writeFile("http://down\r\n");
    serverDown(Delivery::Late);
    start();
    host().typeText("Dialog", "Text1", "http://still-down");
    host().pressKey("Dialog", "Text1", 13);
    host().runUntilIdle();
    expectRunning();
    EXPECT_EQ(fileBytes(), "http://still-down\r\n");
    ASSERT_NE(window("Dialog"), nullptr);
    EXPECT_TRUE(window("Dialog")->shown());
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://still-down");
    EXPECT_EQ(viewAddress(), "about:blank");
}

TEST_F(Recovery, AFailureDuringTheCommitsPumpsShowsTheDialogAgainThenTheCommitClosesIt) {
    writeFile("http://down\r\n");
    serverDown(Delivery::Pending);
    start();
    host().typeText("Dialog", "Text1", "http://down-too");
    host().click("Dialog", "OKButton");
    host().clearTrace();
    host().runUntilIdle();
    expectRunning();
    const std::vector<std::string> expected = {
        "navigate Form1.WebBrowser1 http://down-too",
        "pump",
        "event navigate-error Form1.WebBrowser1 http://down-too",
        "navigate Form1.WebBrowser1 about:blank",
        "show Dialog modeless",
        "pump",
        "pump",
        "unload Dialog",
        "show Form1 modeless",
    };
    const auto& trace = host().trace();
    auto start = std::find(trace.begin(), trace.end(), expected.front());
    ASSERT_NE(start, trace.end()) << traceText();
    EXPECT_EQ(std::vector<std::string>(start, trace.end()), expected) << traceText();
    EXPECT_EQ(window("Dialog"), nullptr);
    EXPECT_EQ(viewAddress(), "about:blank");
}

TEST_F(Recovery, AFailureDuringTheFirstRunsModalDisplay) {
    serverDown(Delivery::Pending);
    host().typeText("Dialog", "Text1", "http://down-first");
    host().pressKey("Dialog", "Text1", 13);
    start();
    expectRunning();
    EXPECT_EQ(fileBytes(), "http://down-first\r\n");
    // The stored address is opened after the modal display, fails, and the dialog comes back
    // without blocking, prefilled from the file.
    ASSERT_NE(window("Dialog"), nullptr) << traceText();
    EXPECT_EQ(window("Dialog")->showMode(), ShowMode::Modeless);
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://down-first");
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(viewAddress(), "about:blank");
}

TEST_F(Recovery, TheMainWindowClosedWhileTheDialogIsOpenComesBackOnCommit) {
    writeFile("http://down\r\n");
    serverDown();
    start();
    host().closeBox("Form1");
    host().runUntilIdle();
    expectRunning();
    EXPECT_EQ(window("Form1"), nullptr);
    ASSERT_NE(window("Dialog"), nullptr);

    host().typeText("Dialog", "Text1", "http://up");
    host().pressKey("Dialog", "Text1", 13);
    host().clearTrace();
    host().runUntilIdle();
    expectRunning();
    // Touching the view loads the main window again; its load step runs in full and opens
    // the address just stored; the commit's own navigation follows.
    EXPECT_TRUE(traced("load Form1")) << traceText();
    EXPECT_TRUE(traced("set-height Form1 15200")) << traceText();
    EXPECT_EQ(navigations(), (std::vector<std::string>{"http://up", "http://up"}));
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(window("Dialog"), nullptr);
}

TEST_F(Recovery, ClosingTheMainWindowAndThenTheDialogEndsTheProgram) {
    writeFile("http://down\r\n");
    serverDown();
    start();
    host().closeBox("Form1");
    host().closeBox("Dialog");
    host().runUntilIdle();
    EXPECT_EQ(host().exitStatus(), 0);
    EXPECT_EQ(fileBytes(), "http://down\r\n");
}

TEST_F(Recovery, TheDialogsCloseBoxLeavesTheViewBlankAndNavigatesNothing) {
    writeFile("http://down\r\n");
    serverDown();
    start();
    host().clearTrace();
    host().closeBox("Dialog");
    host().runUntilIdle();
    expectRunning();
    EXPECT_TRUE(navigations().empty()) << traceText();
    EXPECT_EQ(viewAddress(), "about:blank");
    EXPECT_EQ(window("Dialog"), nullptr);
    EXPECT_EQ(fileBytes(), "http://down\r\n");
}

TEST_F(Recovery, CancelEndsTheProgramAndKeepsTheFile) {
    writeFile("http://down\r\n");
    serverDown();
    start();
    host().typeText("Dialog", "Text1", "http://never-stored");
    host().click("Dialog", "CancelButton");
    host().runUntilIdle();
    EXPECT_EQ(host().exitStatus(), 0);
    EXPECT_EQ(host().runtimeError(), "");
    EXPECT_EQ(fileBytes(), "http://down\r\n");
}

class SetServerCommand : public ProgramTest {};

TEST_F(SetServerCommand, BringsUpTheDialogWithoutBlankingThePage) {
    writeFile("http://reachable-but-wrong\r\n");
    start();
    host().clearTrace();
    host().contextCommand("Form1", "WebBrowser1", app::kSetServerCommand);
    host().runUntilIdle();
    expectRunning();
    EXPECT_TRUE(navigations().empty()) << traceText();
    EXPECT_EQ(viewAddress(), "http://reachable-but-wrong");
    ASSERT_NE(window("Dialog"), nullptr);
    EXPECT_EQ(window("Dialog")->showMode(), ShowMode::Modeless);
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://reachable-but-wrong");

    // Asked again while open, the dialog keeps what was typed; OK then stores and opens it.
    host().typeText("Dialog", "Text1", "http://right");
    host().contextCommand("Form1", "WebBrowser1", app::kSetServerCommand);
    host().runUntilIdle();
    EXPECT_EQ(window("Dialog")->text("Text1"), "http://right");
    host().click("Dialog", "OKButton");
    host().runUntilIdle();
    expectRunning();
    EXPECT_EQ(fileBytes(), "http://right\r\n");
    EXPECT_EQ(viewAddress(), "http://right");
    EXPECT_EQ(window("Dialog"), nullptr);
}
