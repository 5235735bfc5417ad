// JPEG: libjpeg walks the marker chain and decodes every scan's entropy-coded data to the end
// marker, row by row at an eighth of the size (the Huffman decoding is the whole check; the small
// scale only saves the inverse transforms).
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
// after jpeglib.h, which says which messages this build has
#include <jerror.h>

#include <csetjmp>
#include <string>
#include <vector>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "jpeg";
constexpr long kMemoryLimit = 512l << 20;  // a progressive picture's coefficients are held whole
constexpr JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
// A progressive picture is decoded whole once per scan; writers use about ten, so a file with
// far more is a hostile one (each scan costs the whole picture's work): not judged.
constexpr int kScanLimit = 100;

struct JpegState {
  jpeg_error_mgr errors{};
  jpeg_source_mgr source{};
  jpeg_progress_mgr progress{};
  const FileSource* file = nullptr;
  bool givenUp = false;  // Stop, or too many scans: the picture is not judged
  std::jmp_buf jump{};
  ForwardReader* reader = nullptr;
  bool ranOut = false;
  int damageCode = 0;  // the first warning that means damaged data
  std::string message;
};

JpegState& StateOf(j_common_ptr cinfo) { return *static_cast<JpegState*>(cinfo->client_data); }

void OnError(j_common_ptr cinfo) {
  JpegState& state = StateOf(cinfo);
  char text[JMSG_LENGTH_MAX];
  cinfo->err->format_message(cinfo, text);
  state.message = text;
  std::longjmp(state.jump, 1);
}

// Watches Stop and the scan count while the decoder works through a scan, so neither waits for the
// picture's end.
void OnProgress(j_common_ptr cinfo) {
  JpegState& state = StateOf(cinfo);
  const auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (state.file->Stopped() || decompress->input_scan_number > kScanLimit) {
    state.givenUp = true;
    std::longjmp(state.jump, 1);
  }
}

// What the library cannot decode is no sign of damage: arithmetic coding where it is not built
// in, 12-bit and lossless pictures, sizes past its limit, memory it may not take.
bool IsUnsupported(int code) {
  switch (code) {
    case JERR_ARITH_NOTIMPL:
    case JERR_BAD_PRECISION:
    case JERR_CCIR601_NOTIMPL:
    case JERR_COMPONENT_COUNT:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_FRACT_SAMPLE_NOTIMPL:
    case JERR_IMAGE_TOO_BIG:
    case JERR_NO_BACKING_STORE:
    case JERR_NOT_COMPILED:
    case JERR_NOTIMPL:
    case JERR_OUT_OF_MEMORY:
    case JERR_SOF_UNSUPPORTED:
    case JERR_WIDTH_OVERFLOW:
      return true;
    default:
      return false;
  }
}

bool IsDamageWarning(int code) {
  switch (code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
      return true;
    default:
      return false;
  }
}

void OnMessage(j_common_ptr cinfo, int level) {
  JpegState& state = StateOf(cinfo);
  if (level >= 0 || state.damageCode != 0 || !IsDamageWarning(cinfo->err->msg_code)) return;
  state.damageCode = cinfo->err->msg_code;
  char text[JMSG_LENGTH_MAX];
  cinfo->err->format_message(cinfo, text);
  state.message = text;
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  JpegState& state = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
  ForwardReader& reader = *state.reader;
  const auto [bytes, available] = reader.Peek();
  if (available == 0) {
    // The data ran out before the end marker: hand the decoder one so it ends cleanly.
    state.ranOut = true;
    cinfo->src->next_input_byte = kEndOfImage;
    cinfo->src->bytes_in_buffer = sizeof kEndOfImage;
    return TRUE;
  }
  reader.Take(available);  // the decoder owns them now; consumed() is corrected by what it leaves
  cinfo->src->next_input_byte = bytes;
  cinfo->src->bytes_in_buffer = available;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  jpeg_source_mgr& source = *cinfo->src;
  while (count > static_cast<long>(source.bytes_in_buffer)) {
    count -= static_cast<long>(source.bytes_in_buffer);
    source.bytes_in_buffer = 0;
    FillInput(cinfo);
    if (StateOf(reinterpret_cast<j_common_ptr>(cinfo)).ranOut) return;
  }
  source.next_input_byte += count;
  source.bytes_in_buffer -= static_cast<size_t>(count);
}

class Decompressor {
 public:
  explicit Decompressor(JpegState& state) {
    cinfo_.err = jpeg_std_error(&state.errors);
    cinfo_.client_data = &state;
    state.errors.error_exit = OnError;
    state.errors.emit_message = OnMessage;
  }
  ~Decompressor() { jpeg_destroy_decompress(&cinfo_); }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  jpeg_decompress_struct& cinfo() { return cinfo_; }

 private:
  jpeg_decompress_struct cinfo_{};
};

}  // namespace

IntegrityVerdict CheckJpeg(const FileSource& file) {
  ForwardReader reader(file);
  JpegState state;
  state.reader = &reader;
  state.file = &file;
  Decompressor decompressor(state);
  jpeg_decompress_struct& cinfo = decompressor.cinfo();
  std::vector<JSAMPLE> row;
  if (setjmp(state.jump) == 0) {
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kMemoryLimit;
    state.source.init_source = InitSource;
    state.source.fill_input_buffer = FillInput;
    state.source.skip_input_data = SkipInput;
    state.source.resync_to_restart = jpeg_resync_to_restart;
    state.source.term_source = TermSource;
    cinfo.src = &state.source;
    state.progress.progress_monitor = OnProgress;
    cinfo.progress = &state.progress;
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.do_fancy_upsampling = FALSE;
    cinfo.do_block_smoothing = FALSE;
    jpeg_start_decompress(&cinfo);
    row.resize(static_cast<size_t>(cinfo.output_width) * static_cast<size_t>(cinfo.output_components));
    JSAMPROW rows[1] = {row.data()};
    while (cinfo.output_scanline < cinfo.output_height && state.damageCode == 0 && !state.ranOut) {
      jpeg_read_scanlines(&cinfo, rows, 1);
      if ((cinfo.output_scanline & 15) == 0 && file.Stopped()) return IntegrityVerdict::Unjudged();
    }
    if (state.damageCode == 0 && !state.ranOut) jpeg_finish_decompress(&cinfo);
  } else {
    if (reader.stopped() || state.givenUp || IsUnsupported(state.errors.msg_code)) return IntegrityVerdict::Unjudged();
    if (state.ranOut) return IntegrityVerdict::Damaged(kType, "data ends before the end marker");
    return IntegrityVerdict::Damaged(kType, state.message);
  }
  if (reader.stopped()) return IntegrityVerdict::Unjudged();
  if (state.ranOut) return IntegrityVerdict::Damaged(kType, "data ends before the end marker");
  if (state.damageCode != 0) return IntegrityVerdict::Damaged(kType, state.message);
  const int64_t end = reader.consumed() - static_cast<int64_t>(cinfo.src->bytes_in_buffer);
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
