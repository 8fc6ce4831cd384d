#pragma once

#include <optional>
#include <string>

namespace tevra {

// What the traffic logic and the file sender need from the window.
class TerminalUi {
 public:
  virtual ~TerminalUi() = default;
  // A modal box with the stop icon, an OK button and the caption "Terminal".
  virtual void showError(const std::string& text) = 0;
  // Save-type chooser (the folder must exist; no overwrite question). Empty on cancel.
  // `defaultExtension` has no dot ("txt"); `filter` is string 1002 as stored:
  // "name|pattern" pairs ended by an empty pair, which wxFileDialog does not want.
  virtual std::optional<std::string> chooseSaveFile(const std::string& initialPath,
                                                    const std::string& defaultExtension,
                                                    const std::string& filter) = 0;
  // Open-type chooser (the file must exist). Empty on cancel. `filter` as above.
  virtual std::optional<std::string> chooseOpenFile(const std::string& initialPath,
                                                    const std::string& filter) = 0;
  // Starts a repeating timer; returns its identifier, 0 on failure.
  virtual int startTimer(int id, int milliseconds) = 0;
  virtual void killTimer(int id) = 0;
  // The options changed: refresh the menu check marks.
  virtual void optionsChanged() = 0;
};

}  // namespace tevra
