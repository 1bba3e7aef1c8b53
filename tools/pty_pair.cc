#include "tools/pty_pair.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace qj570::tools {

PtyPair::PtyPair(bool keep_slave) {
  std::array<char, 128> name{};
  if (::openpty(&master_, &slave_, name.data(), nullptr, nullptr) < 0) {
    throw std::system_error(errno, std::generic_category(), "openpty");
  }
  slave_path_ = name.data();
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);  // what arrives is what was sent, before any program sets the line
  ::tcsetattr(slave_, TCSANOW, &tio);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (!keep_slave) {
    ::close(slave_);
    slave_ = -1;
  }
}

void PtyPair::Close() noexcept {
  for (int* fd : {&slave_, &master_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

}  // namespace qj570::tools
