#ifndef UPDATER_SUPPORT_UPDATERDISPLAYINTERFACE_H
#define UPDATER_SUPPORT_UPDATERDISPLAYINTERFACE_H

// The user-facing terminal of the updater: one-line messages, a progress bar
// for block transfers and a spinner for waits. Only the main thread calls it.
class UpdaterDisplayInterface {
 public:
  enum Level {
    LEVEL_INFO = 0,   // routed to info_message
    LEVEL_ERROR = 1,  // routed to error_message
  };

  UpdaterDisplayInterface() : muted_(false) {}

  // Begins (true) or ends (false) a progress display.
  virtual void display_progress(bool show) = 0;
  // fraction runs from 0.0 to 1.0; label may be NULL.
  virtual void update_progress(double fraction, const char* label) = 0;
  // Turns the spinner one step (true), or clears it (false); label may be NULL.
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Declared after the five operations so that they keep their slots.
  virtual ~UpdaterDisplayInterface() = default;

  // Formats one line (without a newline; the display adds it) and routes it
  // by level. Dropped unformatted while muted. Text beyond 2047 bytes is cut.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Affects message() only; direct calls of the operations above still print.
  void mute_messages(bool mute) { muted_ = mute; }

  // Error lines message() has shown so far. A caller whose step failed
  // shows its own, more general line only when the step showed none: one
  // line per failure.
  unsigned errors_shown() const { return errorsShown_; }

 private:
  bool muted_;
  unsigned errorsShown_ = 0;
};

#endif
