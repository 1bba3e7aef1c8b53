// Form1 on FLTK, for X11 desktops.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/fl_ask.H>

#include <algorithm>
#include <array>
#include <utility>

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

// FLTK's message box does not wrap: break long lines at spaces.
std::string Wrapped(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t column = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find_first_of(" \n", start), text.size());
    const std::size_t word = end - start;
    if (column > 0 && column + 1 + word > width) {
      out += '\n';
      column = 0;
    } else if (column > 0) {
      out += ' ';
      ++column;
    }
    out.append(text, start, word);
    column += word;
    if (end < text.size() && text[end] == '\n') {
      out += '\n';
      column = 0;
    }
    start = end + 1;
  }
  return out;
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

std::unique_ptr<Form1::Widgets> Form1::MakeWidgets() { return std::make_unique<Widgets>(); }

Form1::Form1(std::string port) : MSComm1(std::move(port)), widgets_(MakeWidgets()) {
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
  fl_message_title(kForm1.caption);
  fl_alert("%s", Wrapped(message, 72).c_str());
  exit_status_ = 1;
  widgets_->form.hide();  // the last window: Fl::run returns
}

}  // namespace qj570::app
