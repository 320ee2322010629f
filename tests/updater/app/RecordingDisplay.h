#ifndef TESTS_UPDATER_APP_RECORDINGDISPLAY_H
#define TESTS_UPDATER_APP_RECORDINGDISPLAY_H

#include <string>
#include <vector>

#include "updater/support/UpdaterDisplayInterface.h"

namespace testsupport {

// Keeps every message line, marked "I:" for information and "E:" for
// errors, in the order shown.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { lines.push_back(std::string("I:") + text); }
  void error_message(const char* text) override { lines.push_back(std::string("E:") + text); }

  std::vector<std::string> errors() const {
    std::vector<std::string> found;
    for (const std::string& line : lines)
      if (line.compare(0, 2, "E:") == 0) found.push_back(line.substr(2));
    return found;
  }

  std::vector<std::string> lines;
};

}  // namespace testsupport

#endif
