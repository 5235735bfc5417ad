// PDF: the header, the last `startxref` and its `%%EOF`, and every cross-reference section it
// leads to (tables and, from PDF 1.5, compressed cross-reference streams, through every /Prev):
// each object in use must begin where its section says, and the newest trailer must name the
// document's root. A structure that ends before the file does is followed by a tail.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "invalid_files/damage/FileSource.h"
#include "invalid_files/damage/PdfSyntax.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "pdf";
constexpr std::string_view kStartXref = "startxref";
constexpr size_t kMarksKept = 4096;         // the last startxref keywords remembered
constexpr size_t kDictionaryBound = 64 * 1024;
constexpr int kSectionBound = 1024;         // cross-reference sections followed through /Prev
constexpr uint64_t kXrefStreamBound = 64ull << 20;
constexpr uint64_t kInflateBudgetBase = 64ull << 20;
constexpr uint64_t kInflateBudgetPerByte = 256;

class PdfCheck {
 public:
  explicit PdfCheck(const FileSource& file) : file_(file), window_(file), searchBudget_(2 * file.size + (1 << 20)) {}
  IntegrityVerdict Run();

 private:
  std::vector<int64_t> FindStartXrefs();
  // Empty when the cross-reference sections from `offset` on are sound; else what is wrong.
  std::string CheckSections(int64_t offset);
  std::string CheckTable(int64_t offset, std::string& trailer);
  std::string CheckStream(int64_t offset, std::string& dictionary);
  // The text from `offset` up to the end of the dictionary that starts there ("<<" ... ">>").
  std::optional<std::string> Dictionary(int64_t offset, int64_t* after = nullptr);
  bool ObjectStartsAt(int64_t offset, int64_t number);
  std::string CheckObject(int64_t offset, int64_t number) {
    if (!ObjectStartsAt(offset, number)) return "object " + std::to_string(number) + " is not where the cross-reference table says";
    objects_.emplace(number, offset);  // the newest section names an object first
    return {};
  }
  // Every object's stream: its data ends where its /Length says, and compressed data inflates.
  std::string CheckStreams();
  std::string CheckStreamOf(int64_t number, int64_t offset, uint64_t& inflateBudget);
  std::optional<int64_t> LengthOf(const std::string& dictionary);
  // Where the next "endstream" keyword from `from` starts; kNotFound, or kNotSearched once the
  // file's search budget is spent or Stop was pressed.
  static constexpr int64_t kNotFound = -1, kNotSearched = -2;
  int64_t FindEndstream(int64_t from);
  bool EndstreamAt(int64_t offset) {
    size_t got = 0;
    const uint8_t* bytes = window_.Upto(offset, 64, got);
    Cursor end{bytes, bytes + got};
    end.SkipSpace();
    return end.Word("endstream");
  }

  const FileSource& file_;
  WindowReader window_;
  std::vector<uint8_t> inflated_;  // one output buffer for every stream of the file
  bool newest_ = true;
  bool encrypted_ = false;
  std::map<int64_t, int64_t> objects_;  // object number to offset, in use
  bool sawObject_ = false;             // an "obj" keyword anywhere: more than text that starts like a PDF
  int64_t searchBudget_ = 0;            // bytes left to search for streams' ends, bounded by the file's size
};

std::vector<int64_t> PdfCheck::FindStartXrefs() {
  std::vector<int64_t> marks;
  WindowReader scan(file_);
  const int64_t step = static_cast<int64_t>(WindowReader::kWindow - kStartXref.size());
  for (int64_t from = 0; from < file_.size; from += step) {
    if (file_.Stopped()) return {};
    size_t got = 0;
    const uint8_t* bytes = scan.Upto(from, WindowReader::kWindow, got);
    if (bytes == nullptr) break;
    const std::string_view text(reinterpret_cast<const char*>(bytes), got);
    if (!sawObject_ && text.find("obj") != std::string_view::npos) sawObject_ = true;
    for (size_t at = text.find(kStartXref); at != std::string_view::npos; at = text.find(kStartXref, at + 1)) {
      const int64_t mark = from + static_cast<int64_t>(at);
      if (!marks.empty() && marks.back() >= mark) continue;  // seen in the overlap
      marks.push_back(mark);
      if (marks.size() > kMarksKept) marks.erase(marks.begin());
    }
    if (got < WindowReader::kWindow) break;
  }
  return marks;
}

std::optional<std::string> PdfCheck::Dictionary(int64_t offset, int64_t* after) {
  size_t got = 0;
  const uint8_t* bytes = window_.Upto(offset, kDictionaryBound, got);
  if (bytes == nullptr || got < 4 || bytes[0] != '<' || bytes[1] != '<') return std::nullopt;
  int depth = 0;
  for (size_t i = 0; i + 1 < got; ++i) {
    if (bytes[i] == '<' && bytes[i + 1] == '<') {
      ++depth;
      ++i;
    } else if (bytes[i] == '>' && bytes[i + 1] == '>') {
      ++i;
      if (--depth == 0) {
        if (after != nullptr) *after = offset + static_cast<int64_t>(i) + 1;
        return std::string(reinterpret_cast<const char*>(bytes), i + 1);
      }
    }
  }
  return std::nullopt;
}

bool PdfCheck::ObjectStartsAt(int64_t offset, int64_t number) {
  size_t got = 0;
  const uint8_t* bytes = window_.Upto(offset, 64, got);
  if (bytes == nullptr) return false;
  Cursor cursor{bytes, bytes + got};
  // Some writers point at the line end before the object.
  while (cursor.at < cursor.end && IsSpace(*cursor.at)) ++cursor.at;
  const std::optional<int64_t> found = cursor.Number();
  if (!found || *found != number) return false;
  cursor.SkipSpace();
  if (!cursor.Number()) return false;
  cursor.SkipSpace();
  return cursor.Word("obj");
}

std::string PdfCheck::CheckTable(int64_t offset, std::string& trailer) {
  int64_t at = offset;
  // The table has a window of its own: each entry sends window_ to its object, and the next entry
  // would otherwise read the table's part of the file again.
  WindowReader table(file_);
  for (;;) {
    if (file_.Stopped()) return {};
    size_t got = 0;
    const uint8_t* bytes = table.Upto(at, 64, got);
    if (bytes == nullptr) return "cross-reference table cut short";
    Cursor cursor{bytes, bytes + got};
    cursor.SkipSpace();
    if (cursor.Word("trailer")) {
      cursor.SkipSpace();
      const std::optional<std::string> dictionary = Dictionary(at + (cursor.at - bytes));
      if (!dictionary) return "trailer damaged";
      trailer = *dictionary;
      return {};
    }
    const std::optional<int64_t> first = cursor.Number();
    cursor.SkipSpace();
    const std::optional<int64_t> count = cursor.Number();
    if (!first || !count) return "cross-reference table damaged";
    // The line end after the subsection header, then 20-byte entries.
    while (cursor.at < cursor.end && (*cursor.at == ' ' || *cursor.at == '\r' || *cursor.at == '\n')) ++cursor.at;
    at += cursor.at - bytes;
    if (*count > (file_.size - at) / 20 + 1) return "cross-reference table cut short";
    for (int64_t i = 0; i < *count; ++i, at += 20) {
      const uint8_t* entry = table.At(at, 20);
      if (entry == nullptr) return "cross-reference table cut short";
      Cursor fields{entry, entry + 20};
      const std::optional<int64_t> place = fields.Number();
      fields.SkipSpace();
      const std::optional<int64_t> generation = fields.Number();
      fields.SkipSpace();
      if (!place || !generation || fields.Left() == 0 || (*fields.at != 'n' && *fields.at != 'f'))
        return "cross-reference table damaged";
      if (*fields.at == 'n' && *place > 0) {
        if (std::string why = CheckObject(*place, *first + i); !why.empty()) return why;
      }
      if ((i & 1023) == 0 && file_.Stopped()) return {};
    }
  }
}

// Undoes the PNG predictors a cross-reference stream may use, row by row in place.
bool UndoPredictor(std::vector<uint8_t>& data, size_t columns) {
  const size_t row = columns + 1;
  if (columns == 0 || data.size() % row != 0) return false;
  std::vector<uint8_t> out;
  out.reserve(data.size() / row * columns);
  std::vector<uint8_t> previous(columns, 0);
  for (size_t start = 0; start < data.size(); start += row) {
    const uint8_t filter = data[start];
    std::vector<uint8_t> line(data.begin() + static_cast<ptrdiff_t>(start + 1),
                              data.begin() + static_cast<ptrdiff_t>(start + row));
    for (size_t i = 0; i < columns; ++i) {
      const int left = i > 0 ? line[i - 1] : 0, up = previous[i], upLeft = i > 0 ? previous[i - 1] : 0;
      switch (filter) {
        case 0: break;
        case 1: line[i] = static_cast<uint8_t>(line[i] + left); break;
        case 2: line[i] = static_cast<uint8_t>(line[i] + up); break;
        case 3: line[i] = static_cast<uint8_t>(line[i] + (left + up) / 2); break;
        case 4: {
          const int p = left + up - upLeft, pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
          line[i] = static_cast<uint8_t>(line[i] + (pa <= pb && pa <= pc ? left : pb <= pc ? up : upLeft));
          break;
        }
        default: return false;
      }
    }
    out.insert(out.end(), line.begin(), line.end());
    previous = std::move(line);
  }
  data = std::move(out);
  return true;
}

bool Inflate(const std::vector<uint8_t>& packed, std::vector<uint8_t>& out, uint64_t bound) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  int result = Z_OK;
  std::vector<uint8_t> chunk(64 * 1024);
  while (result == Z_OK) {
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    result = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - stream.avail_out));
    if (out.size() > bound) result = Z_MEM_ERROR;
    if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END;
}

std::string PdfCheck::CheckStream(int64_t offset, std::string& dictionary) {
  size_t got = 0;
  const uint8_t* bytes = window_.Upto(offset, 64, got);
  if (bytes == nullptr) return "no cross-reference table";
  Cursor cursor{bytes, bytes + got};
  cursor.SkipSpace();
  const std::optional<int64_t> number = cursor.Number();
  cursor.SkipSpace();
  const std::optional<int64_t> generation = cursor.Number();
  cursor.SkipSpace();
  if (!number || !generation || !cursor.Word("obj")) return "no cross-reference table";
  cursor.SkipSpace();
  int64_t after = 0;
  const std::optional<std::string> found = Dictionary(offset + (cursor.at - bytes), &after);
  if (!found || ValueOf(*found, "/Type") != "/XRef") return "no cross-reference table";
  dictionary = *found;
  const std::optional<int64_t> length = NumberValue(dictionary, "/Length");
  const std::vector<int64_t> widths = NumbersOf(ValueOf(dictionary, "/W"));
  const std::optional<int64_t> size = NumberValue(dictionary, "/Size");
  if (!length || widths.size() != 3 || !size || static_cast<uint64_t>(*length) > kXrefStreamBound)
    return "cross-reference stream damaged";
  for (int64_t width : widths)
    if (width < 0 || width > 8) return "cross-reference stream damaged";

  // The data starts after "stream" and its line end.
  bytes = window_.Upto(after, 64, got);
  if (bytes == nullptr) return "cross-reference stream cut short";
  Cursor data{bytes, bytes + got};
  data.SkipSpace();
  if (!data.Word("stream")) return "cross-reference stream damaged";
  if (data.Word("\r\n") || data.Word("\n") || data.Word("\r")) {}
  const int64_t start = after + (data.at - bytes);
  if (start + *length > file_.size) return "cross-reference stream cut short";
  std::vector<uint8_t> packed(static_cast<size_t>(*length));
  if (!file_.ReadExact(start, packed.data(), packed.size())) return "cross-reference stream cut short";

  const size_t rowWidth = static_cast<size_t>(widths[0] + widths[1] + widths[2]);
  std::vector<uint8_t> rows;
  if (FlateOnly(dictionary)) {
    const uint64_t bound = std::min<uint64_t>(kXrefStreamBound, static_cast<uint64_t>(*size) * (rowWidth + 1) + 1024);
    if (!Inflate(packed, rows, bound)) return "cross-reference stream damaged";
  } else {
    rows = std::move(packed);
  }
  const std::string_view parameters = ValueOf(dictionary, "/DecodeParms").value_or("<<>>");
  if (const std::optional<int64_t> predictor = NumberValue(parameters, "/Predictor"); predictor && *predictor >= 10) {
    const int64_t columns = NumberValue(parameters, "/Columns").value_or(1);
    if (columns != static_cast<int64_t>(rowWidth) || !UndoPredictor(rows, rowWidth))
      return "cross-reference stream damaged";
  }
  std::vector<int64_t> index = NumbersOf(ValueOf(dictionary, "/Index"));
  if (index.empty()) index = {0, *size};
  if (rowWidth == 0 || index.size() % 2 != 0) return "cross-reference stream damaged";
  size_t row = 0;
  for (size_t pair = 0; pair < index.size(); pair += 2) {
    for (int64_t i = 0; i < index[pair + 1]; ++i, ++row) {
      if ((row + 1) * rowWidth > rows.size()) return "cross-reference stream damaged";
      const uint8_t* entry = rows.data() + row * rowWidth;
      const auto field = [&](int which, int64_t fallback) {
        const size_t skip = which == 0 ? 0 : which == 1 ? static_cast<size_t>(widths[0]) : static_cast<size_t>(widths[0] + widths[1]);
        if (widths[static_cast<size_t>(which)] == 0) return fallback;
        int64_t value = 0;
        for (int64_t b = 0; b < widths[static_cast<size_t>(which)]; ++b) value = value << 8 | entry[skip + static_cast<size_t>(b)];
        return value;
      };
      if (field(0, 1) == 1 && field(1, 0) > 0) {
        if (std::string why = CheckObject(field(1, 0), index[pair] + i); !why.empty()) return why;
      }
    }
  }
  return {};
}

std::string PdfCheck::CheckSections(int64_t offset) {
  std::set<int64_t> seen;
  newest_ = true;
  encrypted_ = false;
  objects_.clear();
  for (int sections = 0; sections < kSectionBound; ++sections) {
    if (offset <= 0 || offset >= file_.size) return "cross-reference table outside the file";
    if (!seen.insert(offset).second) return {};  // a /Prev back to a section already checked
    size_t got = 0;
    const uint8_t* bytes = window_.Upto(offset, 16, got);
    Cursor cursor{bytes, bytes + got};
    while (cursor.at < cursor.end && IsSpace(*cursor.at)) ++cursor.at;
    std::string dictionary;
    const std::string why = cursor.Word("xref") ? CheckTable(offset + (cursor.at - bytes), dictionary)
                                                : CheckStream(offset, dictionary);
    if (!why.empty() || file_.Stopped()) return why;
    if (newest_ && !ValueOf(dictionary, "/Root")) return "trailer names no document root";
    if (ValueOf(dictionary, "/Encrypt")) encrypted_ = true;
    newest_ = false;
    const std::optional<int64_t> previous = NumberValue(dictionary, "/Prev");
    if (!previous) return {};
    offset = *previous;
  }
  return {};
}

std::optional<int64_t> PdfCheck::LengthOf(const std::string& dictionary) {
  const std::optional<std::string_view> value = ValueOf(dictionary, "/Length");
  if (!value) return std::nullopt;
  if (const std::optional<int64_t> direct = IntegerOf(*value)) return direct;
  // "/Length 12 0 R": the length is object 12, when it is one the sections name (not one kept
  // inside a compressed object stream).
  const std::optional<int64_t> number = ReferenceOf(*value);
  const auto object = number ? objects_.find(*number) : objects_.end();
  if (object == objects_.end()) return std::nullopt;
  size_t got = 0;
  const uint8_t* bytes = window_.Upto(object->second, 64, got);
  Cursor body{bytes, bytes + got};
  body.SkipSpace();
  body.Number();
  body.SkipSpace();
  body.Number();
  body.SkipSpace();
  if (!body.Word("obj")) return std::nullopt;
  body.SkipSpace();
  return body.Number();
}

int64_t PdfCheck::FindEndstream(int64_t from) {
  constexpr std::string_view kEndstream = "endstream";
  WindowReader scan(file_);
  const int64_t step = static_cast<int64_t>(WindowReader::kWindow - kEndstream.size());
  for (int64_t at = from; at < file_.size; at += step) {
    if (file_.Stopped() || searchBudget_ <= 0) return kNotSearched;
    size_t got = 0;
    const uint8_t* bytes = scan.Upto(at, WindowReader::kWindow, got);
    if (bytes == nullptr) break;
    searchBudget_ -= static_cast<int64_t>(got);
    const std::string_view text(reinterpret_cast<const char*>(bytes), got);
    if (const size_t hit = text.find(kEndstream); hit != std::string_view::npos) return at + static_cast<int64_t>(hit);
    if (got < WindowReader::kWindow) break;
  }
  return kNotFound;
}

std::string PdfCheck::CheckStreamOf(int64_t number, int64_t offset, uint64_t& inflateBudget) {
  size_t got = 0;
  const uint8_t* bytes = window_.Upto(offset, 64, got);
  Cursor cursor{bytes, bytes + got};
  cursor.SkipSpace();
  cursor.Number();
  cursor.SkipSpace();
  cursor.Number();
  cursor.SkipSpace();
  if (!cursor.Word("obj")) return {};
  cursor.SkipSpace();
  int64_t after = 0;
  const std::optional<std::string> dictionary = Dictionary(offset + (cursor.at - bytes), &after);
  if (!dictionary) return {};  // not a dictionary, or one too long to look at
  bytes = window_.Upto(after, 64, got);
  Cursor data{bytes, bytes + got};
  data.SkipSpace();
  if (!data.Word("stream")) return {};
  if (data.Word("\r\n") || data.Word("\n") || data.Word("\r")) {}
  const int64_t start = after + (data.at - bytes);
  const std::string which = "stream of object " + std::to_string(number);
  int64_t length = LengthOf(*dictionary).value_or(-1);
  if (length < 0 || length > file_.size - start || !EndstreamAt(start + length)) {
    // Readers find a stream's end by its keyword when the stated length does not lead there (or
    // cannot be had: a length kept in a compressed object stream); so does the check. Only a
    // stream with no end at all is damaged.
    const int64_t end = FindEndstream(start);
    if (end == kNotSearched) return {};
    if (end == kNotFound) return which + " cut short";
    length = end - start;
  }

  // Only data compressed by deflate alone can be checked; encrypted data only looks random.
  if (encrypted_ || !FlateOnly(*dictionary)) return {};
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return {};
  // Read through window_: streams are mostly small and in file order, so the next objects and
  // streams are usually in the same window already.
  inflated_.resize(64 * 1024);
  int64_t at = start, left = length;
  int result = Z_OK;
  while (left > 0 && result == Z_OK) {
    size_t available = 0;
    const uint8_t* in =
        window_.Upto(at, static_cast<size_t>(std::min<int64_t>(left, WindowReader::kWindow)), available);
    if (in == nullptr || file_.Stopped()) break;
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = static_cast<uInt>(available);
    while (stream.avail_in > 0 && result == Z_OK) {
      stream.next_out = inflated_.data();
      stream.avail_out = static_cast<uInt>(inflated_.size());
      result = inflate(&stream, Z_NO_FLUSH);
      if (result == Z_BUF_ERROR) result = Z_OK;
      const uint64_t produced = inflated_.size() - stream.avail_out;
      if (produced > inflateBudget) result = Z_MEM_ERROR;
      inflateBudget -= std::min(produced, inflateBudget);
    }
    const size_t used = available - stream.avail_in;
    at += static_cast<int64_t>(used);
    left -= static_cast<int64_t>(used);
    if (stream.avail_in > 0) break;  // the stream ended before its length
  }
  inflateEnd(&stream);
  return result == Z_DATA_ERROR ? which + " damaged" : std::string();
}

std::string PdfCheck::CheckStreams() {
  uint64_t budget = kInflateBudgetBase + kInflateBudgetPerByte * static_cast<uint64_t>(file_.size);
  for (const auto& [number, offset] : objects_) {
    if (file_.Stopped() || budget == 0) return {};
    if (std::string why = CheckStreamOf(number, offset, budget); !why.empty()) return why;
  }
  return {};
}

IntegrityVerdict PdfCheck::Run() {
  const std::vector<int64_t> marks = FindStartXrefs();
  if (file_.Stopped()) return IntegrityVerdict::Unjudged();
  // Text that only starts like a PDF holds no object: it is not judged.
  if (marks.empty() && !sawObject_) return IntegrityVerdict::Unjudged();
  if (marks.empty()) return IntegrityVerdict::Damaged(kType, "no startxref, the file is cut short");
  std::string newestWhy;
  for (auto mark = marks.rbegin(); mark != marks.rend(); ++mark) {
    size_t got = 0;
    const uint8_t* bytes = window_.Upto(*mark + static_cast<int64_t>(kStartXref.size()), 64, got);
    Cursor cursor{bytes, bytes + got};
    cursor.SkipSpace();
    const std::optional<int64_t> offset = cursor.Number();
    while (cursor.at < cursor.end && IsSpace(*cursor.at)) ++cursor.at;
    std::string why;
    int64_t end = 0;
    if (!offset) {
      why = "startxref damaged";
    } else if (!cursor.Word("%%EOF")) {
      why = "no %%EOF after startxref";
    } else {
      if (cursor.Word("\r\n") || cursor.Word("\n") || cursor.Word("\r")) {}
      end = *mark + static_cast<int64_t>(kStartXref.size()) + (cursor.at - bytes);
      why = CheckSections(*offset);
      if (why.empty()) why = CheckStreams();
    }
    if (file_.Stopped()) return IntegrityVerdict::Unjudged();
    if (why.empty()) {
      // Line ends and blanks after the last %%EOF belong to the file.
      size_t rest = 0;
      const uint8_t* after = window_.Upto(end, 4096, rest);
      size_t blank = 0;
      while (after != nullptr && blank < rest &&
             (after[blank] == ' ' || after[blank] == '\r' || after[blank] == '\n' || after[blank] == '\t'))
        ++blank;
      end += static_cast<int64_t>(blank);
      if (mark == marks.rbegin()) return IntegrityVerdict::EndsAt(end, file_.size);
      // An earlier revision checks out but a later one does not: when what follows is the later
      // revision (objects or a table, not other data), the document itself is damaged.
      if (after != nullptr) {
        Cursor next{after + blank, after + rest};
        if (next.Word("xref")) return IntegrityVerdict::Damaged(kType, newestWhy);
        if (next.Number()) {
          next.SkipSpace();
          if (next.Number()) return IntegrityVerdict::Damaged(kType, newestWhy);
        }
      }
      return IntegrityVerdict::EndsAt(end, file_.size);
    }
    if (newestWhy.empty()) newestWhy = why;
  }
  return IntegrityVerdict::Damaged(kType, newestWhy);
}

}  // namespace

IntegrityVerdict CheckPdf(const FileSource& file) { return PdfCheck(file).Run(); }

}  // namespace brenvik::damage
