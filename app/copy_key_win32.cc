#include "app/copy_key_win32.h"

#include <windows.h>

#include <cstring>

#include "receipt/serial/utf16_win32.h"

namespace qj570::app {
namespace {

std::wstring& TextToCopy() {
  static std::wstring text;  // the filter is a plain function
  return text;
}

// Whatever fails, the box goes on as before: the clipboard is left as it was.
void PutOnClipboard(HWND owner, const std::wstring& text) {
  if (OpenClipboard(owner) == 0) {
    return;
  }
  if (EmptyClipboard() != 0) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool taken = false;
    if (void* data = memory != nullptr ? GlobalLock(memory) : nullptr) {
      std::memcpy(data, text.c_str(), bytes);
      GlobalUnlock(memory);
      taken = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;  // then the system's
    }
    if (!taken && memory != nullptr) {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

// Called by the dialog's own message loop with each message before it is
// handled: the key is taken here, so no button sees it.
LRESULT CALLBACK Filter(int code, WPARAM wparam, LPARAM lparam) {
  const auto* message = reinterpret_cast<const MSG*>(lparam);  // NOLINT: the hook's contract
  if ((code == MSGF_DIALOGBOX || code == MSGF_MESSAGEBOX) && message->message == WM_KEYDOWN &&
      (message->wParam == 'C' || message->wParam == VK_INSERT) &&
      (GetKeyState(VK_CONTROL) & 0x8000) != 0) {
    PutOnClipboard(GetAncestor(message->hwnd, GA_ROOT), TextToCopy());
    return 1;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

CopyKey::CopyKey(const std::string& text) {
  // The clipboard's text has Windows' line ends.
  std::wstring& copy = TextToCopy();
  copy.clear();
  for (const wchar_t c : Wide(text)) {
    copy += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
  }
  hook_ = SetWindowsHookExW(WH_MSGFILTER, Filter, nullptr, GetCurrentThreadId());
}

void CopyKey::Copy(void* owner) const { PutOnClipboard(static_cast<HWND>(owner), TextToCopy()); }

CopyKey::~CopyKey() {
  if (hook_ != nullptr) {
    UnhookWindowsHookEx(static_cast<HHOOK>(hook_));
  }
}

}  // namespace qj570::app
