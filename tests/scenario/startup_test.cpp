#include <cmath>
#include <string>

#include "tests/support/program_fixture.h"

using host::headless::ScreenFacts;
using testsupport::ProgramTest;

namespace {

const std::string kDefault(store::kDefaultServerAddress);

}  // namespace

class Startup : public ProgramTest {};

TEST_F(Startup, WithTheFileOpensItsFirstLineUnchangedAndNeverLoadsTheDialog) {
    writeFile(" http://srv:8080/app?x=1 \r\nhttp://second\r\n");
    start();
    expectRunning();
    EXPECT_EQ(navigations(), std::vector<std::string>{" http://srv:8080/app?x=1 "});
    EXPECT_FALSE(traced("load Dialog")) << traceText();
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(window("Dialog"), nullptr);
    EXPECT_EQ(fileBytes(), " http://srv:8080/app?x=1 \r\nhttp://second\r\n");
}

TEST_F(Startup, AFileOfZeroBytesOpensTheEmptyAddress) {
    writeFile("");
    start();
    expectRunning();
    EXPECT_EQ(navigations(), std::vector<std::string>{""});
    EXPECT_EQ(fileBytes(), "");
}

TEST_F(Startup, FirstRunShowsTheDialogAloneThenOpensTheStoredAddress) {
    host().typeText("Dialog", "Text1", "http://mine:8080/");
    host().pressKey("Dialog", "Text1", 13);
    start();
    expectRunning();
    EXPECT_EQ(fileBytes(), "http://mine:8080/\r\n");
    // Blank first, the commit's navigation, then the stored address instead of the default.
    EXPECT_EQ(navigations(),
              (std::vector<std::string>{"about:blank", "http://mine:8080/", "http://mine:8080/"}));
    EXPECT_EQ(viewAddress(), "http://mine:8080/");
    const long dialogShown = positionOf("show Dialog modal");
    const long form1Shown = positionOf("show Form1 modeless");
    ASSERT_GE(dialogShown, 0) << traceText();
    EXPECT_LT(dialogShown, form1Shown) << "the dialog comes up before the main window\n" << traceText();
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(window("Dialog"), nullptr);
}

TEST_F(Startup, FirstRunClosedWithTheCloseBoxOpensTheDefaultAndWritesNothing) {
    host().closeBox("Dialog");
    start();
    expectRunning();
    EXPECT_EQ(fileBytes(), std::nullopt);
    EXPECT_EQ(navigations(), (std::vector<std::string>{"about:blank", kDefault}));
    EXPECT_TRUE(window("Form1")->shown());
    EXPECT_EQ(window("Dialog"), nullptr);
}

TEST_F(Startup, FirstRunCancelEndsTheProgramBeforeTheMainWindowIsShown) {
    host().typeText("Dialog", "Text1", "http://typed-but-cancelled");
    host().click("Dialog", "CancelButton");
    start();
    EXPECT_EQ(host().exitStatus(), 0);
    EXPECT_EQ(host().runtimeError(), "");
    EXPECT_EQ(fileBytes(), std::nullopt);
    EXPECT_FALSE(traced("show Form1 modeless")) << traceText();
    EXPECT_EQ(navigations(), std::vector<std::string>{"about:blank"});
}

struct ScreenCase {
    const char* name;
    ScreenFacts screen;
};
void PrintTo(const ScreenCase& c, std::ostream* os) { *os << c.name; }

class StartupSizes : public ProgramTest, public testing::WithParamInterface<ScreenCase> {};

TEST_P(StartupSizes, WindowIsScreenWideAnd1000TwipsShorterWithTheViewFillingIt) {
    const ScreenFacts screen = GetParam().screen;
    writeFile("http://tovel\r\n");
    makeProgram(screen);
    start();
    expectRunning();
    const float screenWidth = screen.widthPx * screen.twipsPerPixel;
    const float screenHeight = screen.heightPx * screen.twipsPerPixel;
    // The window is asked for exactly these, in twips.
    EXPECT_EQ(linesStartingWith("set-height Form1 "),
              std::vector<std::string>{std::to_string(int(screenHeight - 1000))});
    EXPECT_EQ(linesStartingWith("set-width Form1 "),
              std::vector<std::string>{std::to_string(int(screenWidth))});

    const auto* form1 = window("Form1");
    int expectedHeight = int(std::lround((screenHeight - 1000) / screen.twipsPerPixel));
    if (screen.maxOuterHeightPx) expectedHeight = std::min(expectedHeight, *screen.maxOuterHeightPx);
    EXPECT_EQ(form1->outerWidthPx(), screen.widthPx);
    EXPECT_EQ(form1->outerHeightPx(), expectedHeight);
    // Whatever the window was granted, the view takes its client area.
    EXPECT_EQ(form1->controlWidthPx("WebBrowser1"), form1->clientWidthPx());
    EXPECT_EQ(form1->controlHeightPx("WebBrowser1"), form1->clientHeightPx());
    EXPECT_EQ(form1->clientHeightPx(), expectedHeight - screen.frameTopPx - screen.frameBottomPx);

    // And it follows the user's resizing.
    host().resizeByUser("Form1", 800, 600);
    host().runUntilIdle();
    EXPECT_EQ(form1->controlWidthPx("WebBrowser1"), 800 - screen.frameLeftPx - screen.frameRightPx);
    EXPECT_EQ(form1->controlHeightPx("WebBrowser1"), 600 - screen.frameTopPx - screen.frameBottomPx);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, StartupSizes,
    testing::Values(ScreenCase{"full_hd_96dpi", ScreenFacts{}},
                    ScreenCase{"laptop_120dpi", ScreenFacts{1366, 768, 12, 4, 4, 28, 4, std::nullopt}},
                    ScreenCase{"window_manager_grants_less", ScreenFacts{1280, 1024, 15, 2, 2, 20, 2, 700}}),
    [](const testing::TestParamInfo<ScreenCase>& info) { return info.param.name; });

TEST_F(Startup, AFileThatCannotBeReadIsReportedAndEndsTheProgramWithStatus1) {
    // Listed as a regular file, yet every read fails, even for root.
    std::filesystem::create_symlink("/proc/self/mem", filePath());
    start();
    EXPECT_EQ(host().exitStatus(), 1);
    EXPECT_EQ(host().runtimeError(), "cannot read " + filePath().string() + ": Input/output error");
    EXPECT_FALSE(traced("show Form1 modeless")) << traceText();
}
