#pragma once

#include <cstddef>

// The translations the Windows program carries, made from po/zh_TW.po.
namespace qj570::app {

struct CatalogueEntry {
  const char* msgid;
  const char* msgstr;
};

extern const CatalogueEntry kTraditionalChinese[];
extern const std::size_t kTraditionalChineseSize;

}  // namespace qj570::app
