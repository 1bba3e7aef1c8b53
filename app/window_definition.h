#pragma once

// The window as it was designed, in twips (1/1440 inch). Shown at 15 twips
// per pixel on every toolkit.
namespace qj570::app {

inline constexpr int kTwipsPerPixel = 15;

constexpr int Pixels(int twips) { return twips / kTwipsPerPixel; }

struct Rect {
  int left, top, width, height;  // twips
};

struct WindowDefinition {
  const char* caption;
  int client_width, client_height;  // twips
};

struct ButtonDefinition {
  const char* caption;
  Rect bounds;  // twips, in the window's client area
};

// Form1: the only window. Placed where the window system puts new windows;
// no menu.
inline constexpr WindowDefinition kForm1{"qj570-rs232", 4680, 3195};
// Command1: the only control that takes the focus. It keeps its place and
// size whatever happens to the window.
inline constexpr ButtonDefinition kCommand1{"QJ-570 RS232", {600, 360, 2415, 975}};
// MSComm1 is not visible; its design place has no effect on the window.

static_assert(Pixels(kForm1.client_width) == 312 && Pixels(kForm1.client_height) == 213);
static_assert(Pixels(kCommand1.bounds.left) == 40 && Pixels(kCommand1.bounds.top) == 24 &&
              Pixels(kCommand1.bounds.width) == 161 && Pixels(kCommand1.bounds.height) == 65);

}  // namespace qj570::app
