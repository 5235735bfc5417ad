#include "invalid_files/damage/PdfSyntax.h"

namespace brenvik::damage {
namespace {

// PDF's delimiters end a name, a number or a keyword.
bool IsDelimiter(uint8_t c) {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '/' ||
         c == '%';
}
bool IsRegular(uint8_t c) { return !IsSpace(c) && !IsDelimiter(c); }

constexpr size_t kNoObject = std::string_view::npos;
constexpr int kNestingBound = 64;  // arrays and dictionaries inside each other

size_t SkipBlanks(std::string_view text, size_t at) {
  while (at < text.size()) {
    const auto c = static_cast<uint8_t>(text[at]);
    if (IsSpace(c)) {
      ++at;
    } else if (c == '%') {
      while (at < text.size() && text[at] != '\n' && text[at] != '\r') ++at;
    } else {
      break;
    }
  }
  return at;
}

size_t SkipRegular(std::string_view text, size_t at) {
  while (at < text.size() && IsRegular(static_cast<uint8_t>(text[at]))) ++at;
  return at;
}

bool IsInteger(std::string_view token) {
  size_t at = token.size() > 1 && (token[0] == '+' || token[0] == '-') ? 1 : 0;
  if (at == token.size()) return false;
  for (; at < token.size(); ++at)
    if (!IsDigit(static_cast<uint8_t>(token[at]))) return false;
  return true;
}

// The end of the object that starts at `at` (after blanks): a name, string, dictionary, array,
// number, keyword or reference ("12 0 R"); kNoObject when it is not whole in `text`.
size_t SkipObject(std::string_view text, size_t at, int depth = 0) {
  at = SkipBlanks(text, at);
  if (at >= text.size() || depth > kNestingBound) return kNoObject;
  const char c = text[at];
  if (c == '/') return SkipRegular(text, at + 1);
  if (c == '(') {
    int open = 0;
    for (; at < text.size(); ++at) {
      if (text[at] == '\\') {
        ++at;
      } else if (text[at] == '(') {
        ++open;
      } else if (text[at] == ')' && --open == 0) {
        return at + 1;
      }
    }
    return kNoObject;
  }
  if (c == '<' && at + 1 < text.size() && text[at + 1] == '<') {
    // Keys and values alike are objects.
    for (at += 2;;) {
      at = SkipBlanks(text, at);
      if (at + 1 < text.size() && text[at] == '>' && text[at + 1] == '>') return at + 2;
      at = SkipObject(text, at, depth + 1);
      if (at == kNoObject) return kNoObject;
    }
  }
  if (c == '<') {
    const size_t end = text.find('>', at);
    return end == std::string_view::npos ? kNoObject : end + 1;
  }
  if (c == '[') {
    for (++at;;) {
      at = SkipBlanks(text, at);
      if (at < text.size() && text[at] == ']') return at + 1;
      at = SkipObject(text, at, depth + 1);
      if (at == kNoObject) return kNoObject;
    }
  }
  const size_t end = SkipRegular(text, at);
  if (end == at) return kNoObject;  // a stray closing delimiter
  if (IsInteger(text.substr(at, end - at))) {
    const size_t second = SkipBlanks(text, end), secondEnd = SkipRegular(text, second);
    if (secondEnd > second && IsInteger(text.substr(second, secondEnd - second))) {
      const size_t r = SkipBlanks(text, secondEnd);
      if (r < text.size() && text[r] == 'R' && (r + 1 == text.size() || !IsRegular(static_cast<uint8_t>(text[r + 1]))))
        return r + 1;
    }
  }
  return end;
}

}  // namespace

// The value of `key` (a whole name: "/Length" is not "/Length1") among a dictionary's own
// entries, not those of the dictionaries inside it; nothing when the key is absent.
std::optional<std::string_view> ValueOf(std::string_view dictionary, std::string_view key) {
  size_t at = SkipBlanks(dictionary, 0);
  if (dictionary.substr(at, 2) != "<<") return std::nullopt;
  for (at += 2;;) {
    at = SkipBlanks(dictionary, at);
    if (at >= dictionary.size() || dictionary[at] != '/') return std::nullopt;  // its end, or damage
    const size_t nameEnd = SkipRegular(dictionary, at + 1);
    const std::string_view name = dictionary.substr(at, nameEnd - at);
    const size_t valueAt = SkipBlanks(dictionary, nameEnd);
    const size_t valueEnd = SkipObject(dictionary, valueAt, 1);
    if (valueEnd == kNoObject) return std::nullopt;
    if (name == key) return dictionary.substr(valueAt, valueEnd - valueAt);
    at = valueEnd;
  }
}

std::optional<int64_t> IntegerOf(std::string_view token) {
  if (!IsInteger(token) || token[0] == '-' || token.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : token)
    if (c != '+') value = value * 10 + (c - '0');
  return value;
}

// The value of `key` when it is a non-negative whole number (not a reference to one).
std::optional<int64_t> NumberValue(std::string_view dictionary, std::string_view key) {
  const std::optional<std::string_view> value = ValueOf(dictionary, key);
  return value ? IntegerOf(*value) : std::nullopt;
}

// The object number of a reference value "12 0 R".
std::optional<int64_t> ReferenceOf(std::string_view value) {
  const size_t end = SkipRegular(value, 0);
  if (end == value.size() || value.back() != 'R') return std::nullopt;
  return IntegerOf(value.substr(0, end));
}

// The numbers of an array value "[1 2 1]"; empty when the value is no such array.
std::vector<int64_t> NumbersOf(std::optional<std::string_view> value) {
  std::vector<int64_t> numbers;
  if (!value || value->empty() || value->front() != '[') return numbers;
  for (size_t at = 1;;) {
    at = SkipBlanks(*value, at);
    const size_t end = SkipRegular(*value, at);
    const std::optional<int64_t> number = end > at ? IntegerOf(value->substr(at, end - at)) : std::nullopt;
    if (!number || numbers.size() > 4096) return numbers;
    numbers.push_back(*number);
    at = end;
  }
}

// True when the stream's data is compressed by deflate alone: "/Filter /FlateDecode", or an
// array of that one filter.
bool FlateOnly(std::string_view dictionary) {
  const std::optional<std::string_view> filter = ValueOf(dictionary, "/Filter");
  if (!filter) return false;
  if (*filter == "/FlateDecode") return true;
  if (filter->empty() || filter->front() != '[') return false;
  const size_t first = SkipBlanks(*filter, 1);
  const size_t end = SkipObject(*filter, first, 1);
  return end != kNoObject && filter->substr(first, end - first) == "/FlateDecode" && SkipBlanks(*filter, end) + 1 == filter->size();
}

}  // namespace brenvik::damage
