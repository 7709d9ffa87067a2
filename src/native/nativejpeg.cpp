#include "native/nativejpeg.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

// jpeglib.h needs <cstdio> first, and jerror.h the configuration it reads.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "pixels/dibsfc.h"
#include "native/nativecommon.h"

namespace vorn {

namespace {

// libjpeg reports errors through error_exit, which must not return: it
// jumps back to the function that started the work. Those functions hold no
// C++ objects of their own; everything lives in the job, which the caller
// owns and cleans up.
struct JpegJob {
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  const uint8_t *data;
  size_t size;
};

JpegJob &JobOf(j_common_ptr info) {
  // The error manager is the job's; its address leads back to the job.
  return *reinterpret_cast<JpegJob *>(reinterpret_cast<char *>(info->err) -
                                      offsetof(JpegJob, error));
}

void ErrorExit(j_common_ptr info) {
  JpegJob &job = JobOf(info);
  info->err->format_message(info, job.message);
  std::longjmp(job.jump, 1);
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
  if (level < 0 && IsCorruptDataWarning(info->err->msg_code)) ErrorExit(info);
}

void Progress(j_common_ptr info) {
  auto *decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMaxJpegScans) {
    JpegJob &job = JobOf(info);
    std::snprintf(job.message, sizeof job.message, "JPEG file of more than %d scans",
                  kMaxJpegScans);
    std::longjmp(job.jump, 1);
  }
}

// Reads the header and chooses the output: BGR bytes as the surface stores
// them, at the best-quality settings. False after an error.
bool ReadHeader(JpegJob *job) {
  if (setjmp(job->jump)) return false;
  jpeg_create_decompress(&job->info);
  job->info.progress = &job->progress;
  jpeg_mem_src(&job->info, job->data, static_cast<unsigned long>(job->size));
  jpeg_read_header(&job->info, TRUE);
  job->info.out_color_space = JCS_EXT_BGR;
  job->info.dct_method = JDCT_ISLOW;
  job->info.do_fancy_upsampling = TRUE;
  job->info.do_block_smoothing = TRUE;
  jpeg_calc_output_dimensions(&job->info);
  return true;
}

// Decodes every row into the surface: row y at top + y * step. False after
// an error.
bool ReadRows(JpegJob *job, uint8_t *top, ptrdiff_t step) {
  if (setjmp(job->jump)) return false;
  jpeg_start_decompress(&job->info);
  JSAMPROW rows[16];
  while (job->info.output_scanline < job->info.output_height) {
    const JDIMENSION first = job->info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, job->info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = top + static_cast<ptrdiff_t>(first + i) * step;
    if (jpeg_read_scanlines(&job->info, rows, count) == 0) {
      // Suspension cannot happen with a memory source; treat it as damage.
      std::snprintf(job->message, sizeof job->message, "JPEG data ended early");
      return false;
    }
  }
  jpeg_finish_decompress(&job->info);
  return true;
}

// Destroys the decompressor whatever happened.
class JobGuard {
 public:
  explicit JobGuard(JpegJob &job) : job_(job) {}
  ~JobGuard() { jpeg_destroy_decompress(&job_.info); }
  JobGuard(const JobGuard &) = delete;
  JobGuard &operator=(const JobGuard &) = delete;

 private:
  JpegJob &job_;
};

}  // namespace

void DecodeJpeg(const uint8_t *data, size_t size, TDIBSurface &target, TNativeContext &context) {
  auto job = std::make_unique<JpegJob>();
  std::memset(job.get(), 0, sizeof(JpegJob));
  job->data = data;
  job->size = size;
  job->info.err = jpeg_std_error(&job->error);
  job->error.error_exit = ErrorExit;
  job->error.emit_message = EmitMessage;
  job->progress.progress_monitor = Progress;
  JobGuard guard(*job);

  if (!ReadHeader(job.get())) throw EJpegError(job->message);
  const JDIMENSION width = job->info.output_width, height = job->info.output_height;
  if (job->info.output_components != 3) throw EJpegError("JPEG file without colour output");
  if (width > INT_MAX || height > INT_MAX) throw EInvalidGraphic(kInvalidDIB);
  // Refused before anything is decoded when the image would exceed the
  // surface limits.
  context.SizeSurface(target, static_cast<int>(width), static_cast<int>(height), 24);
  // Progressive files keep all coefficients in memory, about twice the
  // decoded image; more than that is refused rather than allocated.
  const int64_t imageBytes = target.StoreSize();
  job->info.mem->max_memory_to_use =
      static_cast<long>(std::min<int64_t>(LONG_MAX, imageBytes * 3 + (int64_t{16} << 20)));

  if (!ReadRows(job.get(), target.TopRow(), target.ScanLineStep()))
    throw EJpegError(job->message);
}

}  // namespace vorn
