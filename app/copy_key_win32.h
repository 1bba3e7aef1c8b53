#pragma once

#include <string>

namespace qj570::app {

// While it lives, Ctrl+C (or Ctrl+Insert) in a dialog box of this thread,
// the error box, puts `text` on the clipboard: a task dialog's text cannot
// be selected, and its advice may hold a command to copy. Windows' own
// message boxes copy their text so; this gives the task dialog the same key,
// and both the same text.
class CopyKey {
 public:
  explicit CopyKey(const std::string& text);
  ~CopyKey();
  // Puts the text on the clipboard now (the box's "Copy" link); `owner` is
  // the box's window.
  void Copy(void* owner) const;
  CopyKey(const CopyKey&) = delete;
  CopyKey& operator=(const CopyKey&) = delete;
  CopyKey(CopyKey&&) = delete;
  CopyKey& operator=(CopyKey&&) = delete;

 private:
  void* hook_;  // the thread's message filter
};

}  // namespace qj570::app
