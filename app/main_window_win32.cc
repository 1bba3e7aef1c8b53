// Form1 on native Win32.
#include <windows.h>
// commctrl.h needs the types of windows.h above it.
#include <commctrl.h>

#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/copy_key_win32.h"
#include "app/main_window.h"
#include "app/resource.h"
#include "app/translation.h"
#include "app/window_definition.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570::app {
namespace {

constexpr wchar_t kClassName[] = L"qj570-rs232";

// The error box's "Copy this message" button, which copies and leaves the
// box up (S_FALSE); `data` is its CopyKey.
constexpr int kCopyButton = 99;
HRESULT CALLBACK CopyOnButton(HWND box, UINT notification, WPARAM id, LPARAM, LONG_PTR data) {
  if (notification != TDN_BUTTON_CLICKED || id != kCopyButton) {
    return S_OK;
  }
  reinterpret_cast<const CopyKey*>(data)->Copy(box);  // NOLINT: the callback's contract
  return S_FALSE;
}

constexpr int kCommand1Id = 1;

// Functions of newer Windows, looked up so that the program still starts on
// older ones: per-monitor DPI came with Windows 10 1607.
template <typename Function>
Function User32(const char* name) {
  return reinterpret_cast<Function>(  // NOLINT: how GetProcAddress is used
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The DPI the window is shown at: its monitor's, or the system's before
// Windows 10.
int WindowDpi(HWND window) {
  static const auto get_dpi = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  int dpi = get_dpi != nullptr && window != nullptr ? static_cast<int>(get_dpi(window)) : 0;
  if (dpi <= 0) {
    const HDC screen = GetDC(nullptr);
    dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? dpi : kDesignDpi;
}

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;

// Form1's outer size at `dpi`: the definition gives the client area, and
// the frame comes on top of it.
SIZE FormFrame(int dpi) {
  static const auto adjust =
      User32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT frame{0, 0, Pixels(kForm1.client_width, dpi), Pixels(kForm1.client_height, dpi)};
  if (adjust != nullptr) {
    adjust(&frame, kStyle, FALSE, 0, static_cast<UINT>(dpi));
  } else {
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  }
  return {frame.right - frame.left, frame.bottom - frame.top};
}

// The system's message font (what dialogs use) at `dpi`.
HFONT UiFont(int dpi) {
  static const auto metrics_for_dpi =
      User32<BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT)>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (metrics_for_dpi != nullptr) {
    if (metrics_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0,
                        static_cast<UINT>(dpi)) == 0) {
      return nullptr;
    }
  } else {
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) == 0) {
      return nullptr;
    }
    const int system_dpi = WindowDpi(nullptr);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, system_dpi);
  }
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

// Without its window the program would wait for ever for messages that
// never come, unseen: it says so and ends instead.
[[noreturn]] void FailToMakeTheWindow() {
  const auto error = static_cast<int>(GetLastError());  // before Tr can change it
  throw std::system_error(error, SystemCategory(), Tr("cannot make the program's window"));
}

HICON LoadProgramIcon(int size) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_QJ570),
                                       IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// A key held down on the button goes on repeating into the box and would
// press its default button before it was read: the box waits, a while at
// most, for the key to be let go, and drops the repeats. Meanwhile the
// window goes on answering and painting, or Windows would grey it out as
// hung; input and posted messages wait for the box, as before, so no
// second job can start.
void WaitForEnterToBeLetGo() {
  constexpr DWORD kAtMost = 10000;
  constexpr DWORD kLookAgain = 10;  // the key's state itself wakes no one
  const DWORD started = GetTickCount();
  MSG message{};
  while ((GetAsyncKeyState(VK_RETURN) & 0x8000) != 0 && GetTickCount() - started < kAtMost) {
    // Messages sent by other threads are answered inside these calls.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kLookAgain, QS_KEY | QS_PAINT | QS_SENDMESSAGE);
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) != 0) {
    }
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT) != 0) {
      DispatchMessageW(&message);
    }
  }
  while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) != 0) {
  }
}

}  // namespace

struct Form1::Widgets {
  HWND form = nullptr;
  HWND command1 = nullptr;
  HFONT font = nullptr;
  // Form1 was made whole. A window that was not ends no message loop: its
  // WM_QUIT would close the box that says why it could not be made.
  bool made = false;

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  // Sizes the window (unless Windows suggests a place), places the button
  // and sets its font, all at `dpi`.
  void LayOut(int dpi, const RECT* suggested);
};

void Form1::Widgets::LayOut(int dpi, const RECT* suggested) {
  if (suggested != nullptr) {
    SetWindowPos(form, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    const SIZE frame = FormFrame(dpi);
    SetWindowPos(form, nullptr, 0, 0, frame.cx, frame.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SetWindowPos(command1, nullptr, Pixels(kCommand1.bounds.left, dpi),
               Pixels(kCommand1.bounds.top, dpi), Pixels(kCommand1.bounds.width, dpi),
               Pixels(kCommand1.bounds.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
  if (const HFONT sized = UiFont(dpi)) {
    SendMessageW(command1, WM_SETFONT, reinterpret_cast<WPARAM>(sized), TRUE);  // NOLINT
    if (font != nullptr) {
      DeleteObject(font);
    }
    font = sized;
  }
}

LRESULT CALLBACK Form1::Widgets::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));  // NOLINT
  if (message == WM_NCCREATE) {
    self = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);  // NOLINT
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));              // NOLINT
  }
  if (self != nullptr) {
    switch (message) {
      case WM_COMMAND:
        if (LOWORD(wparam) == kCommand1Id && HIWORD(wparam) == BN_CLICKED) {
          self->Command1_Click();
          return 0;
        }
        break;
      case WM_ACTIVATE:  // the focus goes back to the only control
        if (LOWORD(wparam) != WA_INACTIVE) {
          SetFocus(self->widgets_->command1);
          return 0;
        }
        break;
      case WM_DPICHANGED:  // moved to a monitor of another scale, or the scale changed
        self->widgets_->LayOut(HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));  // NOLINT
        return 0;
      case WM_DESTROY:
        if (self->widgets_->made) {
          PostQuitMessage(self->exit_status_);
        }
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

std::unique_ptr<Form1::Widgets> Form1::MakeWidgets() { return std::make_unique<Widgets>(); }

Form1::Form1(std::string port, PortSettings settings, bool offer_ports)
    : MSComm1(std::move(port), settings), widgets_(MakeWidgets()), offer_ports_(offer_ports) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = Widgets::Proc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadProgramIcon(GetSystemMetrics(SM_CXICON));
  window_class.hIconSm = LoadProgramIcon(GetSystemMetrics(SM_CXSMICON));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);                    // NOLINT
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);  // NOLINT
  window_class.lpszClassName = kClassName;
  if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    FailToMakeTheWindow();
  }

  // Made at its size for the system's DPI, so that it never shows at
  // another, then laid out again if its monitor has another scale.
  const SIZE frame = FormFrame(WindowDpi(nullptr));
  widgets_->form =
      CreateWindowExW(0, kClassName, Wide(kForm1.caption).c_str(), kStyle, CW_USEDEFAULT,
                      CW_USEDEFAULT, frame.cx, frame.cy, nullptr, nullptr, instance, this);
  if (widgets_->form == nullptr) {
    FailToMakeTheWindow();
  }
  widgets_->command1 = CreateWindowExW(
      0, L"BUTTON", Wide(kCommand1.caption).c_str(),
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, widgets_->form,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCommand1Id)), instance, nullptr);  // NOLINT
  if (widgets_->command1 == nullptr) {
    const DWORD error = GetLastError();
    DestroyWindow(widgets_->form);  // no destructor runs for what is half made
    SetLastError(error);
    FailToMakeTheWindow();
  }
  widgets_->LayOut(WindowDpi(widgets_->form), nullptr);
  widgets_->made = true;
}

Form1::~Form1() {
  if (widgets_->form != nullptr && IsWindow(widgets_->form) != 0) {
    DestroyWindow(widgets_->form);
  }
  if (widgets_->font != nullptr) {
    DeleteObject(widgets_->font);
  }
}

void Form1::Show() {
  ShowWindow(widgets_->form, SW_SHOWDEFAULT);
  UpdateWindow(widgets_->form);
  SetFocus(widgets_->command1);
}

int Form1::Run() {
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // A plain window's button answers Space; Enter, as in a dialog, too.
    // Held down, Enter repeats (bit 30 of lParam: the key was already
    // down): that is still one press.
    if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
        message.hwnd == widgets_->command1) {
      if ((message.lParam & (LPARAM{1} << 30)) == 0) {
        SendMessageW(widgets_->command1, BM_CLICK, 0, 0);
      }
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return exit_status_;
}

std::optional<std::size_t> Form1::ShowError(const std::string& message,
                                            const std::vector<std::string>& choices) {
  WaitForEnterToBeLetGo();
  const std::wstring caption = Wide(kForm1.caption);
  std::wstring text = Wide(message);
  const CopyKey copy_key(message);
  // A task dialog, with a command link for each choice and a button that
  // copies the text, which cannot be selected: the advice may hold a
  // command to paste. Its text is plain (no hyperlinks: a device's name
  // could hold "<a>"). Common Controls 6 has it (the manifest asks for it);
  // looked up, so that no DLL is linked. A message box, where it is
  // missing, copies its text with Ctrl+C.
  using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
  static const auto task_dialog = reinterpret_cast<TaskDialogIndirectFunction>(  // NOLINT
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"comctl32.dll"), "TaskDialogIndirect")));
  const auto message_box = [&] {
    MessageBoxW(widgets_->form, Wide(message).c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
    return std::nullopt;
  };
  if (task_dialog == nullptr) {
    return message_box();
  }
  // A task dialog takes '&' as a mnemonic: "Ports (COM & LPT)" keeps it.
  for (std::size_t at = text.find(L'&'); at != std::wstring::npos; at = text.find(L'&', at + 2)) {
    text.insert(at, 1, L'&');
  }
  constexpr int kFirstChoice = 100;
  std::vector<std::wstring> labels;
  std::vector<TASKDIALOG_BUTTON> buttons;
  labels.reserve(choices.size() + 1);
  for (std::size_t i = 0; i < choices.size(); ++i) {
    labels.push_back(Wide(choices[i]));
    buttons.push_back({kFirstChoice + static_cast<int>(i), labels.back().c_str()});
  }
  labels.push_back(Wide(Tr("Copy this message")));
  buttons.push_back({kCopyButton, labels.back().c_str()});
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.hwndParent = widgets_->form;
  // Escape and the close box take the Close button, the default.
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | (choices.empty() ? 0 : TDF_USE_COMMAND_LINKS);
  config.dwCommonButtons = TDCBF_CLOSE_BUTTON;
  config.pszWindowTitle = caption.c_str();
  config.pszMainIcon = TD_ERROR_ICON;  // NOLINT: the SDK's own cast
  config.pszContent = text.c_str();
  config.cButtons = static_cast<UINT>(buttons.size());
  config.pButtons = buttons.data();
  config.nDefaultButton = IDCLOSE;
  config.pfCallback = CopyOnButton;
  config.lpCallbackData = reinterpret_cast<LONG_PTR>(&copy_key);  // NOLINT: as above
  int pressed = 0;
  if (FAILED(task_dialog(&config, &pressed, nullptr, nullptr))) {
    return message_box();
  }
  if (pressed < kFirstChoice) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(pressed - kFirstChoice);
}

void Form1::End() noexcept {
  exit_status_ = 1;
  DestroyWindow(widgets_->form);  // WM_DESTROY ends the message loop
}

}  // namespace qj570::app
