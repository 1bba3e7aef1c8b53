#pragma once

#include <FL/Enumerations.H>

// A key held down is one press. X repeats it as a release and a press with
// one time stamp; FLTK drops such a release only when it already has the
// press in hand, which a busy program often has not.
namespace qj570::app {

class HeldKey {
 public:
  HeldKey() = default;
  explicit HeldKey(int key) : key_(key) {}

  // Takes FL_KEYBOARD and FL_KEYUP events with X's time stamps. True for
  // those of the held key while it is down (its repeats, and the releases
  // that come with them); a press after a real release ends the hold.
  bool Swallows(int event, int key, unsigned long time) {
    if (key_ == 0 || key != key_) {
      return false;
    }
    if (event == FL_KEYUP) {
      down_ = false;
      released_at_ = time;
      return true;
    }
    if (event == FL_KEYBOARD) {
      if (down_ || time == released_at_) {
        down_ = true;
        return true;
      }
      key_ = 0;
    }
    return false;
  }

 private:
  int key_ = 0;
  bool down_ = true;
  unsigned long released_at_ = 0;
};

}  // namespace qj570::app
