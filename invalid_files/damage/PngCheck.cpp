// PNG: libpng reads every chunk with its CRC, inflates the image data row by row (no whole
// picture is held) and reads on to IEND.
#include <png.h>

#include <csetjmp>
#include <string>
#include <vector>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "png";
// Larger pictures are not decoded (their rows alone could take hundreds of megabytes).
constexpr png_uint_32 kLargestSide = 1u << 17;

struct PngState {
  ForwardReader* reader = nullptr;
  std::string error;
  bool ranOut = false;
};

void ReadBytes(png_structp png, png_bytep into, size_t count) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  if (state->reader->Read(into, count) != count) {
    state->ranOut = true;
    png_error(png, "file ends early");
  }
}

void OnError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  if (state->error.empty()) state->error = message;
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}  // sloppy but readable files are not damaged

class PngReader {
 public:
  explicit PngReader(PngState& state) {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, OnError, OnWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  ~PngReader() { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

IntegrityVerdict CheckPng(const FileSource& file) {
  ForwardReader reader(file);
  PngState state;
  state.reader = &reader;
  PngReader decoder(state);
  png_structp png = decoder.png();
  png_infop info = decoder.info();
  if (png == nullptr || info == nullptr) return IntegrityVerdict::Unjudged();
  std::vector<png_byte> row;
  // Where the data ran out, for the reason; volatile as it is read after the jump back.
  const char* volatile stage = "data ends in the header";
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, &state, ReadBytes);
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_set_benign_errors(png, 1);
    png_set_user_limits(png, kLargestSide, kLargestSide);
    png_set_chunk_malloc_max(png, 64u << 20);
    png_read_info(png, info);
    stage = "data ends in the image data";
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    row.resize(png_get_rowbytes(png, info));
    const png_uint_32 height = png_get_image_height(png, info);
    for (int pass = 0; pass < passes; ++pass) {
      for (png_uint_32 y = 0; y < height; ++y) {
        png_read_row(png, row.data(), nullptr);
        if ((y & 63) == 0 && file.Stopped()) return IntegrityVerdict::Unjudged();
      }
    }
    stage = "data ends before IEND";
    png_read_end(png, nullptr);
  } else {
    if (reader.stopped()) return IntegrityVerdict::Unjudged();
    if (state.error.find("exceeds user limit") != std::string::npos) return IntegrityVerdict::Unjudged();
    if (state.ranOut) return IntegrityVerdict::Damaged(kType, stage);
    return IntegrityVerdict::Damaged(kType, state.error);
  }
  return IntegrityVerdict::EndsAt(reader.consumed(), file.size);
}

}  // namespace brenvik::damage
