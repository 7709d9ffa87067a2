#include "runtime/jpegdecompress.h"

#include <csetjmp>
#include <cstring>

// jerror.h needs the configuration jpeglib.h reads.
#include <jerror.h>

namespace vorn {

// libjpeg reports errors through error_exit, which must not return: it
// jumps back to the step that started the work. The steps hold no C++
// objects of their own; everything lives in the state, which the
// decompressor owns and cleans up.
struct TJpegDecompressor::TState {
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool created;  // the decompressor exists and needs destroying
  bool ready;    // ... and has its source: the steps may run
  // Stray bytes before a marker are skipped while the header is read.
  bool strayHeaderBytes;
  bool readingHeader;  // ReadHeader is running
};

namespace {

using TState = TJpegDecompressor::TState;

TState &StateOf(j_common_ptr info) {
  // The error manager is the state's; its address leads back to the state.
  return *reinterpret_cast<TState *>(reinterpret_cast<char *>(info->err) -
                                     offsetof(TState, error));
}

void ErrorExit(j_common_ptr info) {
  TState &state = StateOf(info);
  info->err->format_message(info, state.message);
  std::longjmp(state.jump, 1);
}

// Warnings that mean pixels were lost or invented: libjpeg goes on and fills
// what it could not decode with grey, which would be a damaged image
// reported as a good one.
bool IsCorruptDataWarning(int code) {
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

// Messages: corrupt-data warnings end the work; other warnings and trace
// messages are dropped (a library prints nothing).
void EmitMessage(j_common_ptr info, int level) {
  if (level >= 0 || !IsCorruptDataWarning(info->err->msg_code)) return;
  const TState &state = StateOf(info);
  // Before the first scan, bytes skipped on the way to the next marker
  // belong to no pixel.
  if (info->err->msg_code == JWRN_EXTRANEOUS_DATA && state.strayHeaderBytes &&
      state.readingHeader)
    return;
  ErrorExit(info);
}

void Progress(j_common_ptr info) {
  auto *decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMaxJpegScans) {
    TState &state = StateOf(info);
    std::snprintf(state.message, sizeof state.message, "JPEG file of more than %d scans",
                  kMaxJpegScans);
    std::longjmp(state.jump, 1);
  }
}

}  // namespace

TJpegDecompressor::TJpegDecompressor(const uint8_t *data, size_t size, bool strayHeaderBytes)
    : state_(std::make_unique<TState>()) {
  TState *state = state_.get();
  std::memset(state, 0, sizeof(TState));
  state->strayHeaderBytes = strayHeaderBytes;
  state->info.err = jpeg_std_error(&state->error);
  state->error.error_exit = ErrorExit;
  state->error.emit_message = EmitMessage;
  state->progress.progress_monitor = Progress;
  // A failure here (no memory, no data) leaves the decompressor not ready,
  // and every step fails with the message.
  if (setjmp(state->jump)) return;
  jpeg_create_decompress(&state->info);
  state->created = true;
  state->info.progress = &state->progress;
  jpeg_mem_src(&state->info, data, static_cast<unsigned long>(size));
  state->ready = true;
}

TJpegDecompressor::~TJpegDecompressor() {
  if (state_->created) jpeg_destroy_decompress(&state_->info);
}

jpeg_decompress_struct &TJpegDecompressor::Info() { return state_->info; }

const char *TJpegDecompressor::Message() const { return state_->message; }

namespace {

// Runs one libjpeg step: false when the decompressor is not ready or the
// step ends through error_exit. The jump target lives in this frame while
// the step runs.
template <class Work>
bool RunStep(TState &state, Work &&work) {
  if (!state.ready || setjmp(state.jump)) return false;
  return work();
}

}  // namespace

bool TJpegDecompressor::ReadHeader() {
  TState &state = *state_;
  state.readingHeader = true;
  const bool done = RunStep(state, [&] {
    jpeg_read_header(&state.info, TRUE);
    return true;
  });
  state.readingHeader = false;
  return done;
}

bool TJpegDecompressor::CalcOutputDimensions() {
  return RunStep(*state_, [this] {
    jpeg_calc_output_dimensions(&state_->info);
    return true;
  });
}

bool TJpegDecompressor::Start() {
  return RunStep(*state_, [this] {
    jpeg_start_decompress(&state_->info);
    return true;
  });
}

bool TJpegDecompressor::ReadRows(JSAMPARRAY rows, JDIMENSION count) {
  return RunStep(*state_, [&] {
    if (jpeg_read_scanlines(&state_->info, rows, count) != 0) return true;
    // Suspension cannot happen with a memory source; treat it as damage.
    std::snprintf(state_->message, sizeof state_->message, "JPEG data ended early");
    return false;
  });
}

bool TJpegDecompressor::Finish() {
  return RunStep(*state_, [this] {
    jpeg_finish_decompress(&state_->info);
    return true;
  });
}

}  // namespace vorn
