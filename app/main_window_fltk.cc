// Form1 on FLTK, for X11 desktops.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <fontconfig/fontconfig.h>

#include <algorithm>
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

#include "app/error_report.h"
#include "app/main_window.h"
#include "app/translation.h"
#include "app/window_definition.h"

namespace qj570::app {
namespace {

#include "app/icons/qj570_16x16_16.xpm"
#include "app/icons/qj570_32x32_16.xpm"
#include "app/icons/qj570_32x32_2.xpm"

// FLTK's button answers Space but not Enter; a Windows button answers both.
// A key held down is one press. X repeats it as a release and a press with
// the same time stamp; FLTK drops such a release only when it already has
// the press in hand, which a busy program often has not.
class Command1Button : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;
  int handle(int event) override {
    const int key = Fl::event_key();
    const bool press_key = key == ' ' || key == FL_Enter || key == FL_KP_Enter;
    if (event == FL_KEYBOARD && Fl::focus() == this && press_key) {
      const bool repeat = key == held_ || (key == released_ && fl_event_time == released_at_);
      held_ = key;
      if (repeat) {
        return 1;
      }
      if (key == ' ') {
        return Fl_Button::handle(event);  // pressed as FLTK draws it
      }
      do_callback();
      return 1;
    }
    if (event == FL_KEYUP && key == held_) {
      released_ = std::exchange(held_, 0);
      released_at_ = fl_event_time;
    } else if (event == FL_UNFOCUS || event == FL_FOCUS) {
      held_ = released_ = 0;
    }
    return Fl_Button::handle(event);
  }

 private:
  int held_ = 0;      // the press key that is down, if any
  int released_ = 0;  // the one last let go, and when (X's milliseconds)
  unsigned long released_at_ = 0;
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
                  "a receipt without a window: qj570-rs232 --receipt FILE"));
  std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
}

// A font that covers Traditional Chinese as written in Taiwan, as
// fontconfig names it. Xft draws a glyph its font lacks as an empty box,
// with no fallback, so the box asks for one that has them all; its Latin
// letters come with it. FLTK's own sans where none is installed.
Fl_Font TaiwanFont() {
  static std::string name;  // FLTK keeps the pointer
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:lang=zh-tw"));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcLangSet* languages = nullptr;
  FcChar8* family = nullptr;
  if (match != nullptr && FcPatternGetLangSet(match, FC_LANG, 0, &languages) == FcResultMatch &&
      FcLangSetHasLang(languages, reinterpret_cast<const FcChar8*>("zh-tw")) !=
          FcLangDifferentLang &&
      FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch) {
    name = std::string(" ") + reinterpret_cast<const char*>(family);  // ' ': regular, not bold
  }
  if (match != nullptr) {
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  if (name.empty()) {
    return FL_HELVETICA;
  }
  Fl::set_font(FL_FREE_FONT, name.c_str());
  return FL_FREE_FONT;
}

// The error box with a button for each choice, and the button that ends
// the program: the default, which Enter, Escape and the close box take.
// Tab and the arrow keys move between the buttons; Space presses one.
std::optional<std::size_t> ChoiceBox(const std::string& text,
                                     const std::vector<std::string>& choices, int dpi) {
  const Fl_Font font = fl_message_font_;
  const int size = fl_message_size_;
  const int pad = ScaledAtDpi(10, dpi);
  const int line = ScaledAtDpi(22, dpi);
  fl_font(font, size);
  int text_width = 0;
  int text_height = 0;
  fl_measure(text.c_str(), text_width, text_height, 0);
  const int width = std::max(text_width, ScaledAtDpi(360, dpi)) + 2 * pad;
  std::vector<int> heights;  // of each choice's button: a line for each of its lines
  heights.reserve(choices.size());
  int height = pad + text_height + pad;
  for (const std::string& choice : choices) {
    heights.push_back(line * static_cast<int>(1 + std::count(choice.begin(), choice.end(), '\n')));
    height += heights.back() + pad;
  }
  height += line + 2 * pad;

  Fl_Double_Window box(width, height, kForm1.caption);
  box.set_modal();
  Fl_Box words(pad, pad, text_width, text_height, text.c_str());
  words.labelfont(font);
  words.labelsize(size);
  words.align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE);
  struct Choice {
    std::optional<std::size_t>* chosen;
    std::size_t index;
  };
  std::optional<std::size_t> chosen;
  std::vector<Choice> data;
  data.reserve(choices.size());  // the buttons keep pointers into it
  std::vector<std::unique_ptr<Fl_Button>> buttons;
  int y = pad + text_height + pad;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    auto& button = buttons.emplace_back(
        std::make_unique<Fl_Button>(pad, y, width - 2 * pad, heights[i], choices[i].c_str()));
    button->labelfont(font);
    button->labelsize(size);
    button->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    button->callback(
        [](Fl_Widget* pressed, void* choice) {
          const auto* self = static_cast<const Choice*>(choice);
          *self->chosen = self->index;
          pressed->window()->hide();
        },
        &data.emplace_back(Choice{&chosen, i}));
    y += heights[i] + pad;
  }
  Fl_Return_Button end(width - pad - ScaledAtDpi(100, dpi), y + pad, ScaledAtDpi(100, dpi), line,
                       fl_close);
  end.labelsize(size);
  end.callback([](Fl_Widget* pressed, void* /*unused*/) { pressed->window()->hide(); });
  box.callback([](Fl_Widget* window, void* /*unused*/) { window->hide(); });  // Escape, close
  box.end();
  box.show();
  end.take_focus();
  while (box.shown() != 0) {
    Fl::wait();
  }
  return chosen;
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
  return std::make_unique<Widgets>(DisplayDpi());
}

Form1::Form1(std::string port, PortSettings settings, bool offer_ports)
    : MSComm1(std::move(port), settings),
      widgets_(MakeWidgets()),
      offer_ports_(offer_ports) {
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
  // Asked for here, not at start-up: most runs never show a box.
  static const Fl_Font font = TaiwanFont();
  fl_message_font(font, ScaledAtDpi(kDesignFontPixels, widgets_->dpi));
  fl_close = Tr("Close");  // the box's button
  fl_message_title(kForm1.caption);
  if (choices.empty()) {
    fl_alert("%s", Wrapped(message, 72).c_str());  // FLTK's box does not wrap
    return std::nullopt;
  }
  return ChoiceBox(Wrapped(message, 72), choices, widgets_->dpi);
}

void Form1::End() noexcept {
  exit_status_ = 1;
  widgets_->form.hide();  // the last window: Fl::run returns
}

}  // namespace qj570::app
