// Output lines and the one live progress line, written from several threads.
#pragma once

#include <string>

#include "platform/annotated_mutex.h"

namespace kel::tool {

// Results go to stdout, messages to stderr, each as whole lines. The progress line exists only
// when stdout is a terminal: it is redrawn in place, and cleared before any other line is
// written, so it never mixes with them. All functions may be called from any thread.
class Console {
  public:
    Console();  // asks whether stdout is a terminal
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool terminal() const { return terminal_; }
    // Width of the terminal in characters; 80 when it cannot be had.
    int Columns() const;

    void Print(const std::string& line);  // stdout
    void Error(const std::string& line);  // stderr, "kelres: " in front
    // Replaces the progress line; does nothing unless stdout is a terminal.
    void ShowProgress(const std::string& line);
    void ClearProgress();

  private:
    void ClearProgressLocked() KEL_REQUIRES(mutex_);

    Mutex mutex_;
    const bool terminal_;
    bool progress_shown_ KEL_GUARDED_BY(mutex_) = false;
};

}  // namespace kel::tool
