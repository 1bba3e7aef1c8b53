// The picture as a PNG: libpng's simplified writer encodes it in memory (no
// time stamp, so the same picture gives the same file), and the file is
// written beside its final name and renamed, so no reader ever sees half.
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "paper/picture.h"

namespace qj570::paper {
namespace {

// Closes the temporary file and removes it, unless it was kept.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno == EEXIST) {
      // Left by an earlier run that had our process number and was killed.
      ::unlink(path_.c_str());
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile(TemporaryFile&&) = delete;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!kept_) {
      ::unlink(path_.c_str());
    }
  }

  [[nodiscard]] bool opened() const { return fd_ >= 0; }

  // Every byte, then the file closed; false with errno set on failure.
  bool WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        errno = n == 0 ? EIO : errno;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

  bool RenameTo(const std::string& path) {
    kept_ = ::rename(path_.c_str(), path.c_str()) == 0;
    return kept_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool kept_ = false;
};

}  // namespace

std::string EncodePng(const Picture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = PNG_FORMAT_GRAY;
  image.flags = PNG_IMAGE_FLAG_FAST;
  png_alloc_size_t size = 0;
  std::string png;
  if (png_image_write_get_memory_size(image, size, 0, picture.pixels.data(), 0, nullptr) != 0) {
    png.resize(size);
    if (png_image_write_to_memory(&image, png.data(), &size, 0, picture.pixels.data(), 0,
                                  nullptr) != 0) {
      png.resize(size);
      return png;
    }
  }
  // libpng's own words: a picture it refuses, or memory it lacks.
  const std::string message = std::string("libpng: ") + image.message;
  png_image_free(&image);
  throw PictureError(PictureError::Problem::kUnencodable, message);
}

void WritePng(const Picture& picture, const std::string& path) {
  const std::string png = EncodePng(picture);
  TemporaryFile file(path + "." + std::to_string(::getpid()) + ".part");
  if (!file.opened() || !file.WriteAll(png) || !file.RenameTo(path)) {
    throw PictureError(PictureError::Problem::kUnwritable, path, static_cast<std::uint32_t>(errno));
  }
}

}  // namespace qj570::paper
