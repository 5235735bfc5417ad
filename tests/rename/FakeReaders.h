#pragma once
// Readers that take their name material straight from the test file: a document file holds
// "date|sheets|content", any other type holds its finished name. They count their calls.
#include <atomic>
#include <memory>
#include <string>

#include "platform/PathText.h"
#include "rename/ContentReaders.h"
#include "tests/support/TempDir.h"

namespace brenvik::testing {

inline DocumentTexts FakeDocumentTexts(const std::filesystem::path& path) {
  const std::u16string body = Utf8ToText(ReadFile(path));
  DocumentTexts texts;
  const size_t first = body.find(u'|');
  const size_t second = first == std::u16string::npos ? std::u16string::npos : body.find(u'|', first + 1);
  if (second == std::u16string::npos) return texts;
  texts.date = body.substr(0, first);
  texts.sheet = body.substr(first + 1, second - first - 1);
  texts.content = body.substr(second + 1);
  return texts;
}

inline ContentReaders FakeReaders(std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>()) {
  const auto document = [calls](const std::filesystem::path& path, const AppSettings&) {
    ++*calls;
    return FakeDocumentTexts(path);
  };
  const auto name = [calls](const std::filesystem::path& path, const AppSettings&) {
    ++*calls;
    return Utf8ToText(ReadFile(path));
  };
  return {document, document, document, document, name, name, name, name, {}, {}, {}};
}

}  // namespace brenvik::testing
