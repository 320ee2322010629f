#ifndef TESTS_UPDATER_OPERATIONS_OPSDISPLAY_H
#define TESTS_UPDATER_OPERATIONS_OPSDISPLAY_H

#include <algorithm>
#include <string>
#include <vector>

#include "updater/support/UpdaterDisplayInterface.h"

namespace opstest {

// Keeps every message line ("I:" information, "E:" error) in order, and
// counts what the progress bar and the spinner were asked to do.
class OpsDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool show) override { (show ? progressShown : progressHidden) += 1; }
  void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
  void update_spinner(bool on, const char*) override {
    if (on) {
      ++spinnerTurns;
    } else {
      ++spinnerCleared;
    }
  }
  void info_message(const char* text) override { lines.push_back(std::string("I:") + text); }
  void error_message(const char* text) override { lines.push_back(std::string("E:") + text); }

  std::vector<std::string> errors() const {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
      if (line.compare(0, 2, "E:") == 0) found.push_back(line.substr(2));
    }
    return found;
  }
  bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  std::string all() const {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  std::vector<std::string> lines;
  std::vector<double> progress;
  int progressShown = 0;
  int progressHidden = 0;
  int spinnerTurns = 0;
  int spinnerCleared = 0;
};

}  // namespace opstest

#endif
