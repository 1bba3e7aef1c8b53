#include "app/error_box_fltk.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "app/box_fonts.h"
#include "app/held_key_fltk.h"
#include "app/text_layout.h"
#include "app/translation.h"
#include "app/window_definition.h"

namespace qj570::app {
namespace {

// Labels of this type are drawn in runs, each in the font that has its
// characters, a line for each '\n'.
constexpr auto kRunsLabel = FL_FREE_LABELTYPE;

BoxFonts& Fonts() {
  static BoxFonts fonts;  // asked for when the first box is shown
  return fonts;
}

// FLTK's number for the font of `face`, given to FLTK when first used:
// Xft opens a font only when something is drawn or measured in it.
Fl_Font FontOf(BoxFonts::Face face) {
  static std::array<std::string, 2> names;  // FLTK keeps the pointers
  const auto index = static_cast<std::size_t>(face);
  const Fl_Font font = FL_FREE_FONT + static_cast<Fl_Font>(index);
  if (names[index].empty()) {
    names[index] = " " + Fonts().Family(face);  // ' ': regular, not bold
    Fl::set_font(font, names[index].c_str());
  }
  return font;
}

int Width(std::string_view text, int size) {
  double width = 0;
  for (const BoxFonts::Run& run : Fonts().Runs(text)) {
    fl_font(FontOf(run.face), size);
    width += fl_width(run.text.data(), static_cast<int>(run.text.size()));
  }
  return static_cast<int>(width + 0.999);
}

struct LineMetrics {
  int height = 0;
  int descent = 0;
};

// The same for every line of `text`: the tallest of the faces it uses.
LineMetrics MetricsOf(std::string_view text, int size) {
  LineMetrics metrics;
  bool chinese = false;
  for (const BoxFonts::Run& run : Fonts().Runs(text)) {
    chinese = chinese || run.face == BoxFonts::kChinese;
  }
  for (const BoxFonts::Face face : {BoxFonts::kLatin, BoxFonts::kChinese}) {
    if (face == BoxFonts::kLatin || chinese) {
      fl_font(FontOf(face), size);
      metrics.height = std::max(metrics.height, fl_height());
      metrics.descent = std::max(metrics.descent, fl_descent());
    }
  }
  return metrics;
}

std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    if (end == text.size()) {
      return lines;
    }
    start = end + 1;
  }
}

void MeasureRuns(const Fl_Label* label, int& width, int& height) {
  const std::string_view text = label->value != nullptr ? label->value : "";
  width = 0;
  for (const std::string_view line : LinesOf(text)) {
    width = std::max(width, Width(line, label->size));
  }
  height = MetricsOf(text, label->size).height * static_cast<int>(LinesOf(text).size());
}

// One line of runs, from `left`, on the baseline `baseline`.
void DrawLine(std::string_view line, int left, int baseline, int size) {
  double pen = left;
  for (const BoxFonts::Run& run : Fonts().Runs(line)) {
    fl_font(FontOf(run.face), size);
    fl_draw(run.text.data(), static_cast<int>(run.text.size()), static_cast<int>(pen), baseline);
    pen += fl_width(run.text.data(), static_cast<int>(run.text.size()));
  }
}

void DrawRuns(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  const std::string_view text = label->value != nullptr ? label->value : "";
  const LineMetrics metrics = MetricsOf(text, label->size);
  const std::vector<std::string_view> lines = LinesOf(text);
  const int height = metrics.height * static_cast<int>(lines.size());
  int top = y + (h - height) / 2;
  if ((align & FL_ALIGN_TOP) != 0) {
    top = y;
  } else if ((align & FL_ALIGN_BOTTOM) != 0) {
    top = y + h - height;
  }
  fl_color(label->color);
  for (const std::string_view line : lines) {
    int left = x + (w - Width(line, label->size)) / 2;
    if ((align & FL_ALIGN_LEFT) != 0) {
      left = x;
    } else if ((align & FL_ALIGN_RIGHT) != 0) {
      left = x + w - Width(line, label->size);
    }
    top += metrics.height;
    DrawLine(line, left, top - metrics.descent, label->size);
  }
}

// `text` broken into lines `width` pixels wide at most, in the box's fonts.
std::string Wrapped(const std::string& text, int width, int size) {
  std::string out;
  for (const std::string& line :
       BreakLines(text, width, [size](std::string_view piece) { return Width(piece, size); })) {
    out += (out.empty() ? "" : "\n") + line;
  }
  return out;
}

bool IsWordByte(char c) { return c > ' ' && c < '\x7F'; }

// The message, which the user selects as text anywhere on X: a drag, a
// double click for a word (a command, a path) and a triple click for a line
// as the message has it, however the box broke it. The selection becomes
// the primary selection, and Ctrl+C copies it to the clipboard, or the whole
// message when nothing is selected, as Windows' message boxes do. What is
// copied is the message's own text: a udev rule that the box broke over two
// lines comes out as one. It takes no focus: Enter and Escape still close
// the box.
class MessageText : public Fl_Box {
 public:
  MessageText(int x, int y, int w, int h, std::string message, std::string shown, int size)
      : Fl_Box(x, y, w, h), message_(std::move(message)), shown_(std::move(shown)) {
    label(shown_.c_str());
    labeltype(kRunsLabel);
    labelsize(size);
    align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE);
    // Where each byte of the lines (and their end) was in the message: the
    // box's line breaks took out spaces and put in '\n' and indentation.
    std::size_t at = 0;
    for (std::size_t i = 0; i < shown_.size(); ++i) {
      if (at < message_.size() && message_[at] == shown_[i]) {
        origin_.push_back(at++);
        continue;
      }
      origin_.push_back(at);
      if (shown_[i] == '\n') {
        while (at < message_.size() && message_[at] == ' ') {
          ++at;
        }
        at += at < message_.size() && message_[at] == '\n' ? 1 : 0;
      }
    }
    origin_.push_back(message_.size());
    for (std::size_t start = 0; start <= shown_.size();) {
      const std::size_t end = std::min(shown_.find('\n', start), shown_.size());
      lines_.push_back({start, end});
      start = end + 1;
    }
  }

  int handle(int event) override {
    switch (event) {
      case FL_ENTER:
        window()->cursor(FL_CURSOR_INSERT);
        return 1;
      case FL_LEAVE:
        window()->cursor(FL_CURSOR_DEFAULT);
        return 1;
      case FL_MOVE:
        return 1;
      case FL_PUSH:
        if (Fl::event_button() != FL_LEFT_MOUSE) {
          return 0;
        }
        Press(At(Fl::event_x(), Fl::event_y()));
        return 1;
      case FL_DRAG:
        end_ = At(Fl::event_x(), Fl::event_y());
        redraw();
        return 1;
      case FL_RELEASE:
        Copy(0);
        return 1;
      case FL_SHORTCUT:  // the keys the focused button leaves
        if (Fl::event_state(FL_CTRL) != 0 && Fl::event_key() == 'a') {
          anchor_ = 0;
          end_ = message_.size();
          Copy(0);
          redraw();
          return 1;
        }
        if (Fl::event_state(FL_CTRL) != 0 &&
            (Fl::event_key() == 'c' || Fl::event_key() == FL_Insert)) {
          Copy(1);
          return 1;
        }
        return 0;
      default:
        return Fl_Box::handle(event);
    }
  }

 protected:
  void draw() override {
    Fl_Box::draw();
    const auto [low, high] = std::minmax(anchor_, end_);
    if (low == high) {
      return;
    }
    const LineMetrics metrics = MetricsOf(shown_, labelsize());
    int top = y();
    for (const auto& [start, end] : lines_) {
      const std::string_view line(shown_.data() + start, end - start);
      const std::size_t from = Local(start, end, low);
      const std::size_t to = Local(start, end, high);
      // A selected line end shows as a space's width.
      const bool through = end < shown_.size() && low <= origin_[end] && origin_[end] < high;
      if (from < to || through) {
        const int left = x() + Width(line.substr(0, from), labelsize());
        const int right =
            x() + Width(line.substr(0, to), labelsize()) + (through ? labelsize() / 3 : 0);
        fl_push_clip(left, top, right - left, metrics.height);
        fl_color(FL_SELECTION_COLOR);
        fl_rectf(left, top, right - left, metrics.height);
        fl_color(fl_contrast(labelcolor(), FL_SELECTION_COLOR));
        DrawLine(line, x(), top + metrics.height - metrics.descent, labelsize());
        fl_pop_clip();
      }
      top += metrics.height;
    }
  }

 private:
  // The message's offset at the character boundary nearest to a point.
  std::size_t At(int px, int py) const {
    const int height = std::max(1, MetricsOf(shown_, labelsize()).height);
    if (py < y()) {
      return 0;
    }
    const auto row = static_cast<std::size_t>((py - y()) / height);
    if (row >= lines_.size()) {
      return message_.size();
    }
    const auto& [start, end] = lines_[row];
    const std::string_view line(shown_.data() + start, end - start);
    std::size_t best = 0;
    int best_distance = std::abs(px - x());
    for (std::size_t at = 1; at <= line.size(); ++at) {
      if (at < line.size() && (static_cast<unsigned char>(line[at]) & 0xC0U) == 0x80U) {
        continue;  // inside a character
      }
      const int distance = std::abs(px - x() - Width(line.substr(0, at), labelsize()));
      if (distance < best_distance) {
        best = at;
        best_distance = distance;
      }
    }
    return origin_[start + best];
  }

  // Where in the line from `start` to `end` the message's offset `at` falls.
  std::size_t Local(std::size_t start, std::size_t end, std::size_t at) const {
    const auto first = origin_.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last = origin_.begin() + static_cast<std::ptrdiff_t>(end);
    return static_cast<std::size_t>(std::lower_bound(first, last, at) - first);
  }

  // A click selects nothing yet (with Shift, up to it), a double click the
  // word there, a triple click the message's line.
  void Press(std::size_t at) {
    if (Fl::event_clicks() >= 2) {
      anchor_ = at == 0 ? 0 : message_.rfind('\n', at - 1) + 1;  // npos + 1 is 0
      end_ = std::min(message_.find('\n', at), message_.size());
    } else if (Fl::event_clicks() == 1) {
      anchor_ = end_ = at;
      while (anchor_ > 0 && IsWordByte(message_[anchor_ - 1])) {
        --anchor_;
      }
      while (end_ < message_.size() && IsWordByte(message_[end_])) {
        ++end_;
      }
    } else {
      end_ = at;
      anchor_ = Fl::event_state(FL_SHIFT) != 0 ? anchor_ : at;
    }
    redraw();
  }

  // To the primary selection (0), or the clipboard (1): what is selected,
  // and for the clipboard, the whole message when nothing is.
  void Copy(int destination) const {
    const auto [low, high] = std::minmax(anchor_, end_);
    if (low < high) {
      Fl::copy(message_.data() + low, static_cast<int>(high - low), destination);
    } else if (destination == 1) {
      Fl::copy(message_.data(), static_cast<int>(message_.size()), destination);
    }
  }

  const std::string message_;
  const std::string shown_;  // the message broken into the box's lines
  std::vector<std::size_t> origin_;
  std::vector<std::pair<std::size_t, std::size_t>> lines_;  // in shown_
  std::size_t anchor_ = 0;  // the selection, from anchor_ to end_ in message_
  std::size_t end_ = 0;
};

// A key held down on the button when the job failed goes on repeating into
// the box, and Enter or Space would press its buttons before the box was
// read: while the box is up, the key counts again only once it was let go.
class HeldKeyGuard {
 public:
  HeldKeyGuard() {
    for (const int key : {FL_Enter, FL_KP_Enter, static_cast<int>(' ')}) {
      if (Fl::get_key(key) != 0) {
        held_ = HeldKey(key);
        Fl::event_dispatch(Dispatch);
      }
    }
  }
  ~HeldKeyGuard() {
    if (Fl::event_dispatch() == Dispatch) {
      Fl::event_dispatch(nullptr);
    }
    held_ = HeldKey();
  }
  HeldKeyGuard(const HeldKeyGuard&) = delete;
  HeldKeyGuard& operator=(const HeldKeyGuard&) = delete;
  HeldKeyGuard(HeldKeyGuard&&) = delete;
  HeldKeyGuard& operator=(HeldKeyGuard&&) = delete;

 private:
  static int Dispatch(int event, Fl_Window* window) {
    if (held_.Swallows(event, Fl::event_key(), fl_event_time)) {
      return 1;
    }
    return Fl::handle_(event, window);
  }

  static inline HeldKey held_;  // FLTK's dispatch hook is a plain function
};

}  // namespace

std::optional<std::size_t> ShowErrorBox(const std::string& message,
                                        const std::vector<std::string>& choices, int dpi) {
  Fl::set_labeltype(kRunsLabel, DrawRuns, MeasureRuns);
  const int size = ScaledAtDpi(kDesignFontPixels, dpi);
  const int pad = ScaledAtDpi(10, dpi);
  const int icon = ScaledAtDpi(50, dpi);  // as FLTK's own alert has it
  const int left = pad + icon + pad;      // of the text and the buttons
  const int wrap = ScaledAtDpi(460, dpi);
  const auto measure = [size](const std::string& text) {
    const Fl_Label label{text.c_str(), nullptr, nullptr, 0, size, FL_FOREGROUND_COLOR, 0, 0};
    std::pair<int, int> extent;
    MeasureRuns(&label, extent.first, extent.second);
    return extent;
  };

  const std::string text = Wrapped(message, wrap, size);
  const auto [text_width, text_height] = measure(text);
  std::vector<std::string> labels;
  std::vector<int> heights;  // of each choice's button
  labels.reserve(choices.size());
  heights.reserve(choices.size());
  const int inside = 2 * ScaledAtDpi(6, dpi);  // a button's frame and margin
  int width = std::max(text_width, ScaledAtDpi(360, dpi));
  int height = pad + text_height + pad;
  for (const std::string& choice : choices) {
    labels.push_back(Wrapped(choice, wrap - inside, size));
    const auto [label_width, label_height] = measure(labels.back());
    width = std::max(width, label_width + inside);
    heights.push_back(label_height + ScaledAtDpi(10, dpi));
    height += heights.back() + pad;
  }
  const std::string close = Tr("Close");
  const int line = std::max(ScaledAtDpi(30, dpi), measure(close).second + ScaledAtDpi(10, dpi));
  const int close_width =
      std::max(ScaledAtDpi(100, dpi), measure(close).first + line + 2 * ScaledAtDpi(6, dpi));
  height = std::max(height, pad + icon + pad) + line + 2 * pad;

  Fl_Double_Window box(left + width + pad, height, kForm1.caption);
  box.set_modal();
  Fl_Box mark(pad, pad, icon, icon, "!");
  mark.box(FL_THIN_UP_BOX);
  mark.color(FL_WHITE);
  mark.labelfont(FL_TIMES_BOLD);
  mark.labelcolor(FL_BLUE);
  mark.labelsize(ScaledAtDpi(34, dpi));
  const MessageText words(left, pad, text_width, text_height, message, text, size);
  struct Choice {
    std::optional<std::size_t>* chosen;
    std::size_t index;
  };
  std::optional<std::size_t> chosen;
  std::vector<Choice> data;
  data.reserve(labels.size());  // the buttons keep pointers into it
  std::vector<std::unique_ptr<Fl_Button>> buttons;
  int y = pad + text_height + pad;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    auto& button = buttons.emplace_back(
        std::make_unique<Fl_Button>(left, y, width, heights[i], labels[i].c_str()));
    button->labeltype(kRunsLabel);
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
  Fl_Return_Button end(left + width - close_width, std::max(y, pad + icon + pad) + pad, close_width,
                       line, close.c_str());
  end.labeltype(kRunsLabel);
  end.labelsize(size);
  end.callback([](Fl_Widget* pressed, void* /*unused*/) { pressed->window()->hide(); });
  box.callback([](Fl_Widget* window, void* /*unused*/) { window->hide(); });  // Escape, close
  box.end();
  const HeldKeyGuard held_key;
  box.show();
  end.take_focus();
  while (box.shown() != 0) {
    Fl::wait();
  }
  return chosen;
}

}  // namespace qj570::app
