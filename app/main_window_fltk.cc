// Form1 on FLTK, for X11 desktops.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/x.H>

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/error_box_fltk.h"
#include "app/held_key_fltk.h"
#include "app/main_window.h"
#include "app/translation.h"
#include "app/window_definition.h"

namespace qj570::app {
namespace {

#include "app/icons/qj570_16x16_16.xpm"
#include "app/icons/qj570_32x32_16.xpm"
#include "app/icons/qj570_32x32_2.xpm"

// FLTK's button answers Space but not Enter; a Windows button answers both.
// A key held down is one press.
class Command1Button : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;
  int handle(int event) override {
    const int key = Fl::event_key();
    const bool press_key = key == ' ' || key == FL_Enter || key == FL_KP_Enter;
    if (event == FL_KEYBOARD && Fl::focus() == this && press_key) {
      if (held_.Swallows(event, key, fl_event_time)) {
        return 1;
      }
      held_ = HeldKey(key);
      if (key == ' ') {
        return Fl_Button::handle(event);  // pressed as FLTK draws it
      }
      do_callback();
      return 1;
    }
    if (event == FL_KEYUP) {
      held_.Swallows(event, key, fl_event_time);
    } else if (event == FL_UNFOCUS || event == FL_FOCUS) {
      held_ = HeldKey();
    }
    return Fl_Button::handle(event);
  }

 private:
  HeldKey held_;
};

// The window's close box ends the program; Escape, which FLTK takes as a
// close, does nothing.
void OnFormClose(Fl_Widget* form, void* /*unused*/) {
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
    return;
  }
  form->hide();
}

// Without a display FLTK can only say "Can't open display". Say whose
// message it is and what to do instead, then end as FLTK would.
[[noreturn]] void NoDisplay(const char* format, ...) {  // NOLINT: FLTK's signature
  std::va_list args;
  va_start(args, format);
  std::fputs("qj570-rs232: ", stderr);
  std::vfprintf(stderr, format, args);  // NOLINT: FLTK's own format
  va_end(args);
  std::fprintf(stderr, "\n%s\n",
               Tr("The window needs a graphical desktop. Start the program from one, or print "
                  "a receipt without a window:\nqj570-rs232 --receipt FILE"));
  std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
}

// At home beside GTK and Qt programs: FLTK's gtk+ scheme (shaded buttons
// with rounded corners and soft frames) on the light grey of their themes,
// instead of FLTK's own flat grey.
void FollowTodaysDesktops() {
  Fl::scheme("gtk+");
  Fl::background(0xEF, 0xEF, 0xEF);
}

// The display's DPI as desktops set it: Xft.dpi (GNOME, KDE and others
// scale with it), else the screen's own size in millimetres.
int DisplayDpi() {
  fl_open_display();
  if (const char* resources = XResourceManagerString(fl_display)) {
    std::istringstream lines(resources);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.starts_with("Xft.dpi:")) {
        const double dpi = std::atof(line.c_str() + 8);
        if (dpi >= 48 && dpi <= 960) {
          return static_cast<int>(std::lround(dpi));
        }
      }
    }
  }
  const int millimetres = DisplayHeightMM(fl_display, fl_screen);
  return millimetres > 0
             ? (DisplayHeight(fl_display, fl_screen) * 254 + millimetres * 5) / (millimetres * 10)
             : kDesignDpi;
}

}  // namespace

struct Form1::Widgets {
  explicit Widgets(int dpi) : dpi(dpi) {}

  int dpi;
  Fl_Double_Window form{Px(kForm1.client_width), Px(kForm1.client_height), kForm1.caption};
  // Takes all of a resize. It lies below and right of Command1, so the
  // button keeps its place and size.
  Fl_Box stretch{Px(kCommand1.bounds.left + kCommand1.bounds.width),
                 Px(kCommand1.bounds.top + kCommand1.bounds.height),
                 Px(kForm1.client_width - kCommand1.bounds.left - kCommand1.bounds.width),
                 Px(kForm1.client_height - kCommand1.bounds.top - kCommand1.bounds.height)};
  Command1Button command1{Px(kCommand1.bounds.left), Px(kCommand1.bounds.top),
                          Px(kCommand1.bounds.width), Px(kCommand1.bounds.height),
                          kCommand1.caption};
  std::array<Fl_Pixmap, 3> pixmaps{Fl_Pixmap(qj570_32x32_16), Fl_Pixmap(qj570_32x32_2),
                                   Fl_Pixmap(qj570_16x16_16)};
  std::array<Fl_RGB_Image, 3> icons{Fl_RGB_Image(&pixmaps[0]), Fl_RGB_Image(&pixmaps[1]),
                                    Fl_RGB_Image(&pixmaps[2])};

  [[nodiscard]] int Px(int twips) const { return Pixels(twips, dpi); }
};

std::unique_ptr<Form1::Widgets> Form1::MakeWidgets() {
  Fl::fatal = NoDisplay;
  FollowTodaysDesktops();
  return std::make_unique<Widgets>(DisplayDpi());
}

Form1::Form1(std::string port, PortSettings settings, bool offer_ports)
    : MSComm1(std::move(port), settings), widgets_(MakeWidgets()), offer_ports_(offer_ports) {
  Fl_Double_Window& form = widgets_->form;
  form.end();
  form.xclass("qj570-rs232");
  form.resizable(widgets_->stretch);
  form.callback(OnFormClose);
  std::array<const Fl_RGB_Image*, 3> icons{&widgets_->icons[0], &widgets_->icons[1],
                                           &widgets_->icons[2]};
  form.icons(icons.data(), static_cast<int>(icons.size()));
  widgets_->command1.labelsize(ScaledAtDpi(kDesignFontPixels, widgets_->dpi));
  widgets_->command1.callback(
      [](Fl_Widget* /*button*/, void* self) { static_cast<Form1*>(self)->Command1_Click(); }, this);
}

Form1::~Form1() = default;

void Form1::Show() { widgets_->form.show(); }

int Form1::Run() {
  Fl::run();
  return exit_status_;
}

std::optional<std::size_t> Form1::ShowError(const std::string& message,
                                            const std::vector<std::string>& choices) {
  return ShowErrorBox(message, choices, widgets_->dpi);
}

void Form1::End() noexcept {
  exit_status_ = 1;
  widgets_->form.hide();  // the last window: Fl::run returns
}

}  // namespace qj570::app
