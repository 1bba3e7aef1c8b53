// Form1 on native Win32.
#include <windows.h>

#include <string>
#include <utility>

#include "app/main_window.h"
#include "app/resource.h"
#include "app/window_definition.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570::app {
namespace {

constexpr wchar_t kClassName[] = L"qj570-rs232";
constexpr int kCommand1Id = 1;

HICON LoadProgramIcon(int size) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_QJ570),
                                       IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

}  // namespace

struct Form1::Widgets {
  HWND form = nullptr;
  HWND command1 = nullptr;
  HFONT font = nullptr;

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

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
      case WM_DESTROY:
        PostQuitMessage(self->exit_status_);
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

std::unique_ptr<Form1::Widgets> Form1::MakeWidgets() { return std::make_unique<Widgets>(); }

Form1::Form1(std::string port) : MSComm1(std::move(port)), widgets_(MakeWidgets()) {
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
  RegisterClassExW(&window_class);

  // The definition gives the client area; the frame comes on top of it.
  constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
  RECT frame{0, 0, Pixels(kForm1.client_width), Pixels(kForm1.client_height)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  widgets_->form = CreateWindowExW(0, kClassName, Wide(kForm1.caption).c_str(), kStyle,
                                   CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                   frame.bottom - frame.top, nullptr, nullptr, instance, this);
  widgets_->command1 = CreateWindowExW(
      0, L"BUTTON", Wide(kCommand1.caption).c_str(),
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, Pixels(kCommand1.bounds.left),
      Pixels(kCommand1.bounds.top), Pixels(kCommand1.bounds.width), Pixels(kCommand1.bounds.height),
      widgets_->form, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCommand1Id)), instance,
      nullptr);  // NOLINT
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) != 0) {
    widgets_->font = CreateFontIndirectW(&metrics.lfMessageFont);
    SendMessageW(widgets_->command1, WM_SETFONT, reinterpret_cast<WPARAM>(widgets_->font), TRUE);
  }
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
    if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
        message.hwnd == widgets_->command1) {
      SendMessageW(widgets_->command1, BM_CLICK, 0, 0);
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return exit_status_;
}

void Form1::ShowErrorAndEnd(const std::string& message) {
  MessageBoxW(widgets_->form, Wide(message).c_str(), Wide(kForm1.caption).c_str(),
              MB_OK | MB_ICONERROR);
  exit_status_ = 1;
  DestroyWindow(widgets_->form);  // WM_DESTROY ends the message loop
}

}  // namespace qj570::app
