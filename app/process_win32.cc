// The process of a Windows GUI program: it has standard handles only when
// its starter gave it some, and a console only when it attaches to one.
#include <windows.h>
// shellapi.h needs the types of windows.h above it.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <system_error>

#include "app/process.h"
#include "receipt/serial/link_error.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570::app {
namespace {

bool WriteTo(HANDLE handle, std::string_view text) {
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode) != 0) {
    const std::wstring wide = Wide(text);
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) !=
           0;
  }
  return WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
}

// The handle the starter gave us (a pipe, a file), else the console of the
// shell that started us. False when there is neither.
bool Write(DWORD which, std::string_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    return WriteTo(handle, text);
  }
  static const bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  if (!attached) {
    return false;
  }
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool done = WriteTo(console, text);
  CloseHandle(console);
  return done;
}

void Print(DWORD which, std::string_view text, UINT icon) {
  if (!Write(which, text)) {
    MessageBoxW(nullptr, Wide(text).c_str(), L"qj570-rs232", MB_OK | icon);
  }
}

}  // namespace

void PrepareProcess() {}

std::vector<std::string> Arguments(int /*argc*/, char* /*argv*/[]) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    args.push_back(Utf8(wide[i]));  // NOLINT: an array the system made
  }
  LocalFree(wide);
  return args;
}

void PrintOut(std::string_view text) { Print(STD_OUTPUT_HANDLE, text, MB_ICONINFORMATION); }

void PrintError(std::string_view text) { Print(STD_ERROR_HANDLE, text, MB_ICONERROR); }

void LogError(std::string_view text) { (void)Write(STD_ERROR_HANDLE, text); }

std::istream& StandardInput() {
  _setmode(_fileno(stdin), _O_BINARY);  // a CR or a ^Z is data
  return std::cin;
}

// Straight to the handle the starter gave us: no C runtime between, so no
// LF becomes CR LF. A GUI program without one has nowhere to write.
void WriteOutBytes(std::string_view bytes) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    throw std::system_error(ERROR_INVALID_HANDLE, SystemCategory());
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 20U));
    if (WriteFile(out, bytes.data(), size, &written, nullptr) == 0 || written == 0) {
      const DWORD error = GetLastError();
      throw std::system_error(static_cast<int>(error != 0 ? error : ERROR_WRITE_FAULT),
                              SystemCategory());
    }
    bytes.remove_prefix(written);
  }
}

}  // namespace qj570::app
