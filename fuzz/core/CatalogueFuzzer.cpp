// Fuzzes the catalogue reader and the lookup over what it read: any bytes are either refused or
// give a catalogue whose entries and patterns translate texts without reading out of bounds or
// taking unbounded time.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/Translation.h"
#include "platform/PathText.h"

using namespace brenvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (LoadCatalogueBytes(bytes)) {
    for (const char16_t* text : {u"读取位置2129920错误", u"重试用时1时2分3秒，恢复5个扇区，仍有0个坏扇区",
                                 u"Numbers: 12 / 340", u"a\nb\n\n", u"%1%2%3"})
      (void)Translate(text);
    // Texts drawn from the input meet the input's own patterns.
    (void)Translate(Utf8ToText(bytes.substr(size / 2, 512)));
  }
  UnloadCatalogue();
  return 0;
}
