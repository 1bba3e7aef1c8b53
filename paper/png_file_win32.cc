// The picture as a PNG on Windows: WIC's PNG encoder, which every Windows
// has, writes it in memory (8-bit grey, no time stamp), and the file is
// written beside its final name and renamed, so no reader ever sees half.
#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "paper/picture.h"
#include "receipt/serial/link_error.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570::paper {
namespace {

// A COM interface, released when it goes.
template <class Interface>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Com(Com&&) = delete;
  Com& operator=(Com&&) = delete;
  ~Com() {
    if (pointer_ != nullptr) {
      pointer_->Release();
    }
  }

  Interface** Out() { return &pointer_; }
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

// COM for this thread while the picture is encoded, unless it has it.
class ComThread {
 public:
  ComThread() : started_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;
  ComThread(ComThread&&) = delete;
  ComThread& operator=(ComThread&&) = delete;
  ~ComThread() {
    if (started_) {
      CoUninitialize();
    }
  }

 private:
  bool started_;
};

// WIC's failure in its own words: "WIC, SetPixelFormat: <system text>
// (0x88982F80)".
void Check(HRESULT result, const char* step) {
  if (SUCCEEDED(result)) {
    return;
  }
  std::array<char, 16> code{};
  std::snprintf(code.data(), code.size(), "0x%08lX", static_cast<unsigned long>(result));
  throw PictureError(PictureError::Problem::kUnencodable,
                     std::string("WIC, ") + step + ": " +
                         SystemCategory().message(static_cast<int>(result)) + " (" + code.data() +
                         ")");
}

// The temporary file: closed, and removed unless renamed.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::wstring path) : path_(std::move(path)) {
    handle_ = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile(TemporaryFile&&) = delete;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    Close();
    if (!kept_) {
      DeleteFileW(path_.c_str());
    }
  }

  [[nodiscard]] bool opened() const { return handle_ != INVALID_HANDLE_VALUE; }

  // Every byte, then the file closed; false with GetLastError set.
  bool WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
      DWORD written = 0;
      const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 20U));
      if (WriteFile(handle_, bytes.data(), size, &written, nullptr) == 0) {
        return false;
      }
      bytes.remove_prefix(written);
    }
    return Close();
  }

  bool RenameTo(const std::wstring& path) {
    kept_ = MoveFileExW(path_.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    return kept_;
  }

 private:
  bool Close() {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0;
  }

  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool kept_ = false;
};

}  // namespace

std::string EncodePng(const Picture& picture) {
  const ComThread com;
  Com<IWICImagingFactory> factory;
  Check(
      CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                       IID_IWICImagingFactory, reinterpret_cast<void**>(factory.Out())),  // NOLINT
      "CoCreateInstance");
  Com<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, stream.Out()), "CreateStreamOnHGlobal");
  Com<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Out()), "CreateEncoder");
  Check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), "Initialize");
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(frame.Out(), options.Out()), "CreateNewFrame");
  Check(frame->Initialize(options.get()), "Initialize");
  Check(frame->SetSize(static_cast<UINT>(picture.width), static_cast<UINT>(picture.height)),
        "SetSize");
  WICPixelFormatGUID format = GUID_WICPixelFormat8bppGray;
  Check(frame->SetPixelFormat(&format), "SetPixelFormat");
  if (!IsEqualGUID(format, GUID_WICPixelFormat8bppGray)) {
    Check(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT, "SetPixelFormat");
  }
  // The pixels are only read.
  auto* pixels =
      const_cast<BYTE*>(picture.pixels.data());  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  Check(frame->WritePixels(static_cast<UINT>(picture.height), static_cast<UINT>(picture.width),
                           static_cast<UINT>(picture.pixels.size()), pixels),
        "WritePixels");
  Check(frame->Commit(), "Commit");
  Check(encoder->Commit(), "Commit");

  // The stream's size, not where the encoder left it: an encoder may seek
  // back to patch a chunk it wrote earlier.
  STATSTG size{};
  Check(stream->Stat(&size, STATFLAG_NONAME), "Stat");
  Check(stream->Seek({}, STREAM_SEEK_SET, nullptr), "Seek");
  std::string png(static_cast<std::size_t>(size.cbSize.QuadPart), '\0');
  ULONG read = 0;
  Check(stream->Read(png.data(), static_cast<ULONG>(png.size()), &read), "Read");
  png.resize(read);
  return png;
}

void WritePng(const Picture& picture, const std::string& path) {
  const std::string png = EncodePng(picture);
  const std::wstring target = Wide(path);
  TemporaryFile file(target + L"." + std::to_wstring(GetCurrentProcessId()) + L".part");
  if (!file.opened() || !file.WriteAll(png) || !file.RenameTo(target)) {
    throw PictureError(PictureError::Problem::kUnwritable, path,
                       static_cast<std::uint32_t>(GetLastError()));
  }
}

}  // namespace qj570::paper
