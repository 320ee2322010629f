#include "updater/support/CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char kBar[] = "=====================================================================";
constexpr int kBarLength = sizeof kBar - 1;
static_assert(kBarLength == 69, "the bar is 69 characters wide");

// The parentheses and spaces that a label adds around itself.
constexpr int kLabelFrame = 4;

const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];

// Wide enough to blank the longest line the bar or spinner draws unlabelled.
constexpr int kClearingWidth = 88;

bool drawingOnTerminal() { return isatty(STDOUT_FILENO) == 1; }

void clearLine() { printf("\r%*s\r", kClearingWidth, " "); }

}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
  if (!drawingOnTerminal()) return;
  if (!show) clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!drawingOnTerminal()) return;

  // Out-of-range fractions (NaN included) are drawn as the nearest end.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;

  int length = kBarLength;
  if (label != nullptr) {
    size_t labelLength = strlen(label);
    length = labelLength + kLabelFrame >= static_cast<size_t>(kBarLength)
                 ? 0
                 : kBarLength - static_cast<int>(labelLength) - kLabelFrame;
  }
  int filled = static_cast<int>(length * fraction);
  if (filled > length) filled = length;
  int percent = static_cast<int>(fraction * 100.0);

  // A full bar gives L - N - 1 = -1, which printf takes as a left-aligned
  // field of width 1: one space stays between ">" and "]".
  int gap = length - filled - 1;
  if (gap < 0) gap = 1;

  if (label == nullptr)
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, gap, "", percent);
  else
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, gap, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  // Shared by every display: the spinner resumes where the last one stopped.
  static uint8_t count = 0;

  if (!drawingOnTerminal()) return;

  if (!on) {
    clearLine();
    return;
  }
  if (label == nullptr)
    printf("\r %s      \r", kSpinnerFrames[count]);
  else
    printf("\r (%s) %s      \r", label, kSpinnerFrames[count]);
  count = static_cast<uint8_t>((count + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) { printf("%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
