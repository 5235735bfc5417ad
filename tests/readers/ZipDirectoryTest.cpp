#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "readers/ZipArchive.h"
#include "readers/ZipDirectory.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using namespace testing;

struct Listed {
  std::vector<std::string> names;
  std::vector<std::string> contents;  // each entry inflated
};

Listed ListWithLibrary(const fs::path& path) {
  Listed listed;
  ZipArchive archive(path);
  std::string name, contents;
  for (bool more = archive.First(); more; more = archive.Next()) {
    if (!archive.CurrentRawName(name)) break;
    listed.names.push_back(name);
    listed.contents.push_back(archive.ReadCurrent(contents, 1 << 20) ? contents : "(unread)");
  }
  return listed;
}

ZipDirectory::Outcome ListDirectly(const fs::path& path, Listed& listed, size_t heldBytes = 0) {
  const UniqueFd file = OpenShared(path);
  const std::string bytes = ReadFile(path);
  const HeldBytes held{std::span(reinterpret_cast<const uint8_t*>(bytes.data()), std::min(heldBytes, bytes.size())), 0};
  ZipDirectory directory;
  const ZipDirectory::Outcome outcome = directory.Read(file.get(), FileSize(file.get()), held);
  std::string contents;
  for (const ZipDirectory::Entry& entry : directory.entries()) {
    listed.names.emplace_back(entry.name);
    listed.contents.push_back(entry.name.size() <= 64 && directory.ReadItem(entry, 1 << 20, contents) ? contents
                                                                                                     : "(unread)");
  }
  return outcome;
}

// The directory read here must list what the zip library lists, and inflate the same bytes, for
// archives written by Info-ZIP, LibreOffice, Java, Python and Android tools, and for bytes before
// the archive; what it does not take, it leaves to the library.
TEST(ZipDirectory, ListsAndReadsWhatTheZipLibraryDoesOrLeavesItToIt) {
  const fs::path data = BRENVIK_TEST_DATA "/..";
  for (const char* name : {"variants/book.epub", "variants/sales.odt", "variants/app.apk", "variants/tool.jar",
                           "damage/archive.zip", "extension/report.docx",
                           "extension/slides.pptx", "readers/extended.zip"}) {
    SCOPED_TRACE(name);
    Listed direct;
    ASSERT_EQ(ListDirectly(data / name, direct, 512), ZipDirectory::Outcome::Listed);
    const Listed library = ListWithLibrary(data / name);
    EXPECT_EQ(direct.names, library.names);
    for (size_t i = 0; i < direct.names.size() && i < library.names.size(); ++i)
      if (direct.contents[i] != "(unread)") EXPECT_EQ(direct.contents[i], library.contents[i]) << direct.names[i];
  }

  TempDir dir;
  // Bytes before the archive shift every offset its records state.
  const std::string odt = ReadFile(data / "variants/sales.odt");
  WriteFile(dir.path() / "prefixed.zip", std::string(3000, 'x') + odt);
  Listed prefixed, plain;
  ASSERT_EQ(ListDirectly(dir.path() / "prefixed.zip", prefixed), ZipDirectory::Outcome::Listed);
  ListDirectly(data / "variants/sales.odt", plain);
  EXPECT_EQ(prefixed.names, plain.names);
  EXPECT_EQ(prefixed.contents, plain.contents);

  Listed none;
  // Zip64 records, as a streamed archive has them too.
  EXPECT_EQ(ListDirectly(data / "damage/zip64.zip", none), ZipDirectory::Outcome::LeftToLibrary);
  EXPECT_EQ(ListDirectly(data / "damage/streamed.zip", none), ZipDirectory::Outcome::LeftToLibrary);
  WriteFile(dir.path() / "no-end.zip", odt.substr(0, odt.size() - 30));
  EXPECT_EQ(ListDirectly(dir.path() / "no-end.zip", none), ZipDirectory::Outcome::NoArchive);
  // A directory that claims to reach past its end record is not trusted.
  std::string lying = odt;
  lying[lying.size() - 22 + 12] = '\xFF';
  WriteFile(dir.path() / "lying.zip", lying);
  EXPECT_EQ(ListDirectly(dir.path() / "lying.zip", none), ZipDirectory::Outcome::LeftToLibrary);
}

// An entry is never inflated past the cap it is read with, and a deflate stream cut short is
// no entry at all.
TEST(ZipDirectory, LocalItemReadStopsAtItsCapAndAtACutStream) {
  const fs::path data = BRENVIK_TEST_DATA "/..";
  const std::string docx = ReadFile(data / "extension/report.docx");
  TempDir dir;
  WriteFile(dir.path() / "report.docx", docx);
  const UniqueFd file = OpenShared(dir.path() / "report.docx");
  const auto length = static_cast<int64_t>(docx.size());
  ZipDirectory directory;
  ASSERT_EQ(directory.Read(file.get(), length), ZipDirectory::Outcome::Listed);
  const ZipDirectory::Entry* types = nullptr;
  for (const ZipDirectory::Entry& entry : directory.entries())
    if (entry.name == "[Content_Types].xml") types = &entry;
  ASSERT_NE(types, nullptr);
  std::string contents;
  ASSERT_TRUE(directory.ReadItem(*types, 1 << 20, contents));
  const size_t whole = contents.size();
  EXPECT_FALSE(directory.ReadItem(*types, whole - 1, contents));
  EXPECT_TRUE(contents.empty());
  // The same entry with its data cut: the stream never ends.
  const HeldBytes held{std::span(reinterpret_cast<const uint8_t*>(docx.data()), docx.size()), 0};
  EXPECT_FALSE(ReadLocalItem(file.get(), types->localHeader + 80, held, types->localHeader, types->name, -1,
                             1 << 20, contents));
}

// A deflated local item whose stated data runs `trailing` bytes past the end of its stream.
std::string DeflatedLocalItem(std::string_view name, const std::string& data, size_t trailing) {
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string packed(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(packed.data());
  stream.avail_out = static_cast<uInt>(packed.size());
  deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  packed += std::string(trailing, '\x5A');
  const auto le = [](uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  };
  return std::string("PK\x03\x04", 4) + le(20, 2) + le(0, 2) + le(8, 2) + le(0, 4) + le(0, 4) +
         le(static_cast<uint32_t>(packed.size()), 4) + le(static_cast<uint32_t>(data.size()), 4) +
         le(static_cast<uint32_t>(name.size()), 2) + le(0, 2) + std::string(name) + packed;
}

// Each item is inflated from its own bytes: input the last item left unread (a stream that ended
// before its stated size) is never taken for the next item's, even when its bytes are gone.
TEST(ZipDirectory, AnItemNeverInflatesWhatTheLastOneLeftUnread) {
  const std::string first = "first item " + std::string(300, 'a');
  const std::string second = "second item " + std::string(300, 'b');
  std::string contents;
  {
    const auto item = std::make_unique<std::string>(DeflatedLocalItem("mimetype", first, 40));
    const HeldBytes held{std::span(reinterpret_cast<const uint8_t*>(item->data()), item->size()), 0};
    ASSERT_TRUE(ReadLocalItem(-1, static_cast<int64_t>(item->size()), held, 0, "mimetype", -1, 1 << 16, contents));
    EXPECT_EQ(contents, first);
  }
  const std::string item = DeflatedLocalItem("mimetype", second, 0);
  const HeldBytes held{std::span(reinterpret_cast<const uint8_t*>(item.data()), item.size()), 0};
  ASSERT_TRUE(ReadLocalItem(-1, static_cast<int64_t>(item.size()), held, 0, "mimetype", -1, 1 << 16, contents));
  EXPECT_EQ(contents, second);
}

}  // namespace
}  // namespace brenvik
