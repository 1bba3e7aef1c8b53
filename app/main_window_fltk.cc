// Form1 on FLTK, for X11 desktops.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "app/main_window.h"
#include "app/window_definition.h"

namespace qj570::app {
namespace {

#include "app/icons/qj570_16x16_16.xpm"
#include "app/icons/qj570_32x32_16.xpm"
#include "app/icons/qj570_32x32_2.xpm"

// FLTK's button answers Space but not Enter; a Windows button answers both.
class Command1Button : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;
  int handle(int event) override {
    if (event == FL_KEYBOARD && Fl::focus() == this &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }
};

// The window's close box ends the program; Escape, which FLTK takes as a
// close, does nothing.
void OnFormClose(Fl_Widget* form, void* /*unused*/) {
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
    return;
  }
  form->hide();
}

// A modal box with the message and an OK button, as a window of its own.
void ShowMessageBox(const char* title, const std::string& message) {
  constexpr int kMargin = 16;
  constexpr int kTextWidth = 400;
  constexpr int kButtonWidth = 90;
  constexpr int kButtonHeight = 28;
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  int text_width = kTextWidth;
  int text_height = 0;
  fl_measure(message.c_str(), text_width, text_height, 0);
  text_width = std::max(text_width, 2 * kButtonWidth);
  const int width = text_width + 2 * kMargin;
  const int height = text_height + kButtonHeight + 3 * kMargin;

  Fl_Window box(width, height, title);
  Fl_Box text(kMargin, kMargin, text_width, text_height);
  text.label(message.c_str());
  text.align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  Fl_Return_Button ok((width - kButtonWidth) / 2, height - kMargin - kButtonHeight, kButtonWidth,
                      kButtonHeight, "OK");
  ok.callback([](Fl_Widget* button, void* /*unused*/) { button->window()->hide(); });
  box.end();
  box.set_modal();
  box.show();
  while (box.shown() != 0) {
    Fl::wait();
  }
}

}  // namespace

struct Form1::Widgets {
  Fl_Double_Window form{Pixels(kForm1.client_width), Pixels(kForm1.client_height), kForm1.caption};
  // Takes all of a resize. It lies below and right of Command1, so the
  // button keeps its place and size.
  Fl_Box stretch{Pixels(kCommand1.bounds.left + kCommand1.bounds.width),
                 Pixels(kCommand1.bounds.top + kCommand1.bounds.height),
                 Pixels(kForm1.client_width - kCommand1.bounds.left - kCommand1.bounds.width),
                 Pixels(kForm1.client_height - kCommand1.bounds.top - kCommand1.bounds.height)};
  Command1Button command1{Pixels(kCommand1.bounds.left), Pixels(kCommand1.bounds.top),
                          Pixels(kCommand1.bounds.width), Pixels(kCommand1.bounds.height),
                          kCommand1.caption};
  std::array<Fl_Pixmap, 3> pixmaps{Fl_Pixmap(qj570_32x32_16), Fl_Pixmap(qj570_32x32_2),
                                   Fl_Pixmap(qj570_16x16_16)};
  std::array<Fl_RGB_Image, 3> icons{Fl_RGB_Image(&pixmaps[0]), Fl_RGB_Image(&pixmaps[1]),
                                    Fl_RGB_Image(&pixmaps[2])};
};

std::unique_ptr<Form1::Widgets> Form1::MakeWidgets() {
  // The window takes no text, so it needs no compose table. Xlib would
  // otherwise parse the locale's whole table as soon as FLTK opens the
  // display: over a third of the start-up time. A user's own XCOMPOSEFILE
  // still wins.
  setenv("XCOMPOSEFILE", "/dev/null", 0);  // NOLINT(concurrency-mt-unsafe): one thread yet
  return std::make_unique<Form1::Widgets>();
}

Form1::Form1() : widgets_(MakeWidgets()) {
  Fl_Double_Window& form = widgets_->form;
  form.end();
  form.xclass("qj570-rs232");
  form.resizable(widgets_->stretch);
  form.callback(OnFormClose);
  std::array<const Fl_RGB_Image*, 3> icons{&widgets_->icons[0], &widgets_->icons[1],
                                           &widgets_->icons[2]};
  form.icons(icons.data(), static_cast<int>(icons.size()));
  widgets_->command1.callback(
      [](Fl_Widget* /*button*/, void* self) { static_cast<Form1*>(self)->Command1_Click(); }, this);
}

Form1::~Form1() = default;

void Form1::Show() { widgets_->form.show(); }

int Form1::Run() {
  Fl::run();
  return exit_status_;
}

void Form1::ShowErrorAndEnd(const std::string& message) {
  ShowMessageBox(kForm1.caption, message);
  exit_status_ = 1;
  widgets_->form.hide();  // the last window: Fl::run returns
}

}  // namespace qj570::app
