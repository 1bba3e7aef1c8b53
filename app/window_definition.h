#pragma once

// The window as it was designed, in twips (1/1440 inch), laid out at the
// screen's DPI on every toolkit: 15 twips a pixel at 96 DPI, 7.5 at 192.
namespace qj570::app {

// The DPI at which every figure of the design is a whole number of pixels.
inline constexpr int kDesignDpi = 96;

// Rounded half up, the same way everywhere.
constexpr int Pixels(int twips, int dpi = kDesignDpi) { return (twips * dpi + 720) / 1440; }

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
static_assert(Pixels(kForm1.client_width, 192) == 624 && Pixels(kForm1.client_height, 192) == 426 &&
              Pixels(kCommand1.bounds.width, 192) == 322);
static_assert(Pixels(kForm1.client_width, 144) == 468 && Pixels(kForm1.client_height, 144) == 320);

// The toolkits' own point size for the button's text at the design DPI.
inline constexpr int kDesignFontPixels = 14;
constexpr int ScaledAtDpi(int pixels, int dpi) {
  return (pixels * dpi + kDesignDpi / 2) / kDesignDpi;
}

}  // namespace qj570::app
