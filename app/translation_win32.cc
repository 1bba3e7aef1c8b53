// Windows: the user's UI language decides, and the translations are in the
// program (made from po/zh_TW.po), so it stays one file.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "app/catalogue.h"
#include "app/translation.h"

namespace qj570::app {
namespace {

bool traditional_chinese = false;

}  // namespace

void SetUpLanguage() {
  // Taiwan, Hong Kong and Macao read Traditional Chinese.
  const LANGID language = GetUserDefaultUILanguage();
  traditional_chinese = language == 0x0404 || language == 0x0C04 || language == 0x1404;
}

const char* Tr(const char* msgid) {
  if (!traditional_chinese) {
    return msgid;
  }
  const CatalogueEntry* begin = kTraditionalChinese;
  const CatalogueEntry* end = kTraditionalChinese + kTraditionalChineseSize;
  const CatalogueEntry* found = std::lower_bound(
      begin, end, msgid,
      [](const CatalogueEntry& entry, const char* id) { return std::strcmp(entry.msgid, id) < 0; });
  return found != end && std::strcmp(found->msgid, msgid) == 0 ? found->msgstr : msgid;
}

}  // namespace qj570::app
