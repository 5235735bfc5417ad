// GIF: giflib walks the blocks, decodes every frame's LZW data line by line, and reads on to the
// trailer.
#include <gif_lib.h>

#include <memory>
#include <string>
#include <vector>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "gif";

int ReadBytes(GifFileType* gif, GifByteType* into, int count) {
  auto* reader = static_cast<ForwardReader*>(gif->UserData);
  return count <= 0 ? 0 : static_cast<int>(reader->Read(into, static_cast<size_t>(count)));
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

std::string_view Why(int error) {
  switch (error) {
    case D_GIF_ERR_READ_FAILED:
    case D_GIF_ERR_EOF_TOO_SOON: return "data ends before the trailer";
    case D_GIF_ERR_WRONG_RECORD: return "unknown block";
    case D_GIF_ERR_IMAGE_DEFECT: return "frame data damaged";
    case D_GIF_ERR_NO_IMAG_DSCR: return "frame header damaged";
    case D_GIF_ERR_NO_SCRN_DSCR: return "screen descriptor damaged";
    default: return GifErrorString(error) != nullptr ? GifErrorString(error) : "unreadable";
  }
}

}  // namespace

IntegrityVerdict CheckGif(const FileSource& file) {
  ForwardReader reader(file);
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&reader, ReadBytes, &error));
  const auto damaged = [&](int code) {
    if (reader.stopped()) return IntegrityVerdict::Unjudged();
    if (code == D_GIF_ERR_NOT_ENOUGH_MEM) return IntegrityVerdict::Unjudged();
    return IntegrityVerdict::Damaged(kType, Why(code));
  };
  if (!gif) return damaged(error);
  std::vector<GifPixelType> line;
  for (;;) {
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) return damaged(gif->Error);
    switch (record) {
      case IMAGE_DESC_RECORD_TYPE: {
        if (DGifGetImageHeader(gif.get()) == GIF_ERROR) return damaged(gif->Error);
        const int width = gif->Image.Width, height = gif->Image.Height;
        if (width <= 0 || height <= 0) return IntegrityVerdict::Damaged(kType, "frame header damaged");
        line.resize(static_cast<size_t>(width));
        for (int y = 0; y < height; ++y) {
          if (DGifGetLine(gif.get(), line.data(), width) == GIF_ERROR) return damaged(gif->Error);
          if ((y & 63) == 0 && file.Stopped()) return IntegrityVerdict::Unjudged();
        }
        break;
      }
      case EXTENSION_RECORD_TYPE: {
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return damaged(gif->Error);
        while (block != nullptr)
          if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return damaged(gif->Error);
        break;
      }
      case TERMINATE_RECORD_TYPE:
        return IntegrityVerdict::EndsAt(reader.consumed(), file.size);
      default:
        return IntegrityVerdict::Damaged(kType, "unknown block");
    }
  }
}

}  // namespace brenvik::damage
