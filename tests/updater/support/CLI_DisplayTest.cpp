#include "updater/support/CLI_Display.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>

#include "tests/updater/support/CapturedFd.h"
#include "tests/updater/support/TerminalStdout.h"

namespace {

using testsupport::CapturedFd;
using testsupport::ChildStdout;
using testsupport::runWithTerminalStdout;
using testsupport::TerminalRun;

struct Streams {
  std::string out;
  std::string err;
};

// Runs body with standard output and error captured; neither is a terminal.
template <typename Body>
Streams captured(Body body) {
  CapturedFd out(STDOUT_FILENO);
  CapturedFd err(STDERR_FILENO);
  body();
  Streams s;
  s.out = out.release();
  s.err = err.release();
  return s;
}

TEST(CLI_DisplayMessages, RouteByLevelWithOneNewlineAdded) {
  CLI_Display display;
  Streams s = captured([&] {
    display.info_message("info");
    display.error_message("error");
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "build %u of %s", 12u, "x");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "failed [%02X]", 7);
  });
  EXPECT_EQ(s.out, "info\nbuild 12 of x\n");
  EXPECT_EQ(s.err, "error\nfailed [07]\n");
}

TEST(CLI_DisplayMessages, MutingDropsOnlyFormattedMessages) {
  CLI_Display display;
  Streams s = captured([&] {
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "dropped info");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "dropped error");
    display.info_message("direct info");
    display.error_message("direct error");
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "back");
  });
  EXPECT_EQ(s.out, "direct info\nback\n");
  EXPECT_EQ(s.err, "direct error\n");
}

TEST(CLI_DisplayMessages, OverlongMessageIsCutAtTheBuffer) {
  CLI_Display display;
  std::string longer(3000, 'm');
  Streams s = captured([&] { display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", longer.c_str()); });
  EXPECT_EQ(s.err, std::string(2047, 'm') + "\n");
}

TEST(CLI_DisplayMessages, DeletingThroughTheInterfaceIsSound) {
  std::unique_ptr<UpdaterDisplayInterface> display(new CLI_Display());
  Streams s = captured([&] { display->message(UpdaterDisplayInterface::LEVEL_INFO, "via base"); });
  display.reset();
  EXPECT_EQ(s.out, "via base\n");
}

TEST(CLI_DisplayDrawing, DrawsNothingWhenStandardOutputIsAPipe) {
  CLI_Display display;
  Streams s = captured([&] {
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_progress(0.5, "label");
    display.update_spinner(true, nullptr);
    display.update_spinner(true, "Downloading");
    display.update_spinner(false, nullptr);
    display.display_progress(false);
  });
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.err, "");
}

// What the console draws on a terminal, produced in a child whose standard
// output is a raw pseudo-terminal.
template <typename Body>
std::string drawnOnTerminal(Body body) {
  TerminalRun run = runWithTerminalStdout([&](const ChildStdout&) {
    CLI_Display display;
    body(display);
  });
  EXPECT_EQ(run.exitStatus, 0);
  return run.terminal;
}

std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

std::string bar(int filled, int gap, const char* percent) {
  return "[" + repeat('=', filled) + ">" + repeat(' ', gap) + "] (" + percent + "% ) ";
}

const std::string kLabel10 = "0123456789";
const std::string kLabel65 = repeat('L', 65);
const std::string kLabel66 = repeat('L', 66);
const std::string kLabel200 = repeat('L', 200);
const std::string kCleared = "\r" + repeat(' ', 88) + "\r";

struct ProgressCase {
  const char* shows;
  double fraction;
  const std::string* label;
  std::string expected;
};

const ProgressCase kProgressCases[] = {
    {"empty bar", 0.0, nullptr, "\r" + bar(0, 68, "  0")},
    {"half bar", 0.5, nullptr, "\r" + bar(34, 34, " 50")},
    {"nearly full bar leaves no gap", 0.999, nullptr, "\r" + bar(68, 0, " 99")},
    {"full bar keeps one space before the bracket", 1.0, nullptr, "\r" + bar(69, 1, "100")},
    {"10-character label, empty", 0.0, &kLabel10, "\r (0123456789) " + bar(0, 54, "  0")},
    {"10-character label, half", 0.5, &kLabel10, "\r (0123456789) " + bar(27, 27, " 50")},
    {"10-character label, full", 1.0, &kLabel10, "\r (0123456789) " + bar(55, 1, "100")},
    {"65-character label leaves no bar, empty", 0.0, &kLabel65, "\r (" + kLabel65 + ") " + bar(0, 1, "  0")},
    {"65-character label leaves no bar, half", 0.5, &kLabel65, "\r (" + kLabel65 + ") " + bar(0, 1, " 50")},
    {"65-character label leaves no bar, full", 1.0, &kLabel65, "\r (" + kLabel65 + ") " + bar(0, 1, "100")},
    {"longer labels draw as 65", 0.5, &kLabel66, "\r (" + kLabel66 + ") " + bar(0, 1, " 50")},
    {"much longer labels draw as 65", 1.0, &kLabel200, "\r (" + kLabel200 + ") " + bar(0, 1, "100")},
    {"fraction above 1 draws as full", 1.5, nullptr, "\r" + bar(69, 1, "100")},
    {"negative fraction draws as empty", -0.5, nullptr, "\r" + bar(0, 68, "  0")},
    {"NaN draws as empty", std::nan(""), nullptr, "\r" + bar(0, 68, "  0")},
};

TEST(CLI_DisplayDrawing, ProgressBarOnATerminal) {
  for (const ProgressCase& c : kProgressCases) {
    SCOPED_TRACE(c.shows);
    std::string drawn = drawnOnTerminal([&](CLI_Display& d) {
      d.update_progress(c.fraction, c.label != nullptr ? c.label->c_str() : nullptr);
    });
    EXPECT_EQ(drawn, c.expected);
  }
}

TEST(CLI_DisplayDrawing, ProgressDisplayBeginsSilentlyAndEndsByClearingTheLine) {
  std::string drawn = drawnOnTerminal([](CLI_Display& d) {
    d.display_progress(true);
    d.update_progress(0.5, nullptr);
    d.display_progress(false);
  });
  EXPECT_EQ(drawn, "\r" + bar(34, 34, " 50") + kCleared);
}

std::string frame(const char* dots) { return std::string("\r ") + dots + "      \r"; }

TEST(CLI_DisplayDrawing, SpinnerTurnsThroughEightFramesAndClearingKeepsItsPlace) {
  std::string drawn = drawnOnTerminal([](CLI_Display& d) {
    d.update_spinner(true, nullptr);
    d.update_spinner(true, nullptr);
    d.update_spinner(false, "ignored");
    d.update_spinner(true, nullptr);
    d.update_spinner(true, nullptr);
    d.update_spinner(true, nullptr);
    d.update_spinner(true, nullptr);
    d.update_spinner(true, nullptr);
    d.update_spinner(true, "Downloading");
    d.update_spinner(false, nullptr);
    d.update_spinner(true, nullptr);  // the ninth turn
    d.update_spinner(true, "Verifying Update");
  });
  EXPECT_EQ(drawn, frame(".") + frame("..") + kCleared + frame("...") + frame("....") + frame(".....") +
                       frame("....") + frame("...") + "\r (Downloading) ..      \r" + kCleared + frame(".") +
                       "\r (Verifying Update) ..      \r");
}

TEST(CLI_DisplayDrawing, SpinnerPositionIsSharedByAllDisplays) {
  TerminalRun run = runWithTerminalStdout([](const ChildStdout&) {
    CLI_Display first;
    first.update_spinner(true, nullptr);
    first.update_spinner(false, nullptr);
    CLI_Display second;
    second.update_spinner(true, nullptr);
  });
  EXPECT_EQ(run.terminal, frame(".") + kCleared + frame(".."));
}

TEST(CLI_DisplayDrawing, TerminalIsTestedOnEveryCallAndPipedCallsDoNotTurnTheSpinner) {
  TerminalRun run = runWithTerminalStdout([](const ChildStdout& out) {
    CLI_Display display;
    display.update_spinner(true, nullptr);
    out.toPipe();
    display.update_spinner(true, nullptr);
    display.update_spinner(true, "Downloading");
    display.update_spinner(false, nullptr);
    display.update_progress(0.5, nullptr);
    display.display_progress(false);
    display.info_message("still printed");
    out.toTerminal();
    display.update_spinner(true, nullptr);
  });
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.piped, "still printed\n");
  EXPECT_EQ(run.terminal, frame(".") + frame(".."));
}

}  // namespace
