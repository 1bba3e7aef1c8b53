// gettext: the catalogue lies in share/locale beside the program's bin/ when
// installed, and in locale/ of the build tree when run from there.
#include <libintl.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <filesystem>

#include "app/translation.h"

namespace qj570::app {
namespace {

constexpr const char* kDomain = "qj570-rs232";

std::filesystem::path CatalogueFolder() {
  std::array<char, 4096> self{};
  const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    return QJ570_LOCALEDIR;
  }
  const std::filesystem::path bin =
      std::filesystem::path(std::string(self.data(), static_cast<std::size_t>(length)))
          .parent_path();
  for (const auto& candidate :
       {bin.parent_path() / "share" / "locale", bin.parent_path() / "locale"}) {
    std::error_code error;
    if (std::filesystem::exists(candidate / "zh_TW" / "LC_MESSAGES" / "qj570-rs232.mo", error)) {
      return candidate;
    }
  }
  return QJ570_LOCALEDIR;
}

}  // namespace

void SetUpLanguage() {
  std::setlocale(LC_ALL, "");  // NOLINT(concurrency-mt-unsafe): one thread yet
  // Numbers and the C library's own parsing stay as in C; only the words change.
  std::setlocale(LC_NUMERIC, "C");  // NOLINT(concurrency-mt-unsafe)
  ::bindtextdomain(kDomain, CatalogueFolder().c_str());
  ::bind_textdomain_codeset(kDomain, "UTF-8");
  ::textdomain(kDomain);
}

const char* Tr(const char* msgid) { return ::dgettext(kDomain, msgid); }

}  // namespace qj570::app
