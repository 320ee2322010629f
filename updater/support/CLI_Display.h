#ifndef UPDATER_SUPPORT_CLI_DISPLAY_H
#define UPDATER_SUPPORT_CLI_DISPLAY_H

#include "updater/support/UpdaterDisplayInterface.h"

// The console display: errors on standard error, information on standard
// output. The progress bar and the spinner are drawn in place on standard
// output, and only while it is a terminal (tested on every call).
class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so that each
  // in-place redraw reaches the terminal at once and in one piece.
  CLI_Display();

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};

#endif
