/* io-vrn.c - a GdkPixbuf loader module for vornfile documents.
 *
 * Desktop image viewers and file managers load pictures through GdkPixbuf;
 * this module lets them open native .vrn documents (and animated cursors,
 * where the system's own loader for them is absent or disabled: ours
 * claims them with a lower relevance). It is a client of the public C API
 * only: the document is opened with vnOpen, each frame's composite is read
 * through GetDIBits, and a document of several frames becomes a
 * GdkPixbufAnimation whose iterator shows every frame for its own delay,
 * looping forever.
 *
 * The library opens files by name, so the bytes GdkPixbuf hands over (all
 * at once or increment by increment) are written to a temporary file that
 * is removed as soon as the document is open.
 */
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <glib/gstdio.h>
#include <gmodule.h>
#include <string.h>
#include <unistd.h>

#include "vornfile_gdi.h"

#ifndef VORN_MIME_TYPE
#error "VORN_MIME_TYPE must name the MIME type of native documents"
#endif

G_GNUC_BEGIN_IGNORE_DEPRECATIONS /* the animation interface uses GTimeVal */

/* Delays below this many milliseconds are shown for kDefaultDelay instead,
 * as browsers do with GIF delays of 0 or 1: such files mean "as fast as
 * possible", which would otherwise keep a viewer spinning. */
enum { kShortestDelay = 10, kDefaultDelay = 100 };

/* --- The animation ------------------------------------------------------- */

typedef struct {
  GdkPixbufAnimation parent_instance;
  int width, height;
  int frames;
  GdkPixbuf **pixbufs; /* one per frame, owned */
  int *delays;         /* milliseconds, after the policy above */
  gint64 cycle;        /* sum of the delays */
} VornAnimation;

typedef struct {
  GdkPixbufAnimationClass parent_class;
} VornAnimationClass;

typedef struct {
  GdkPixbufAnimationIter parent_instance;
  VornAnimation *animation; /* referenced */
  gint64 start;             /* milliseconds */
  int frame;
  gint64 frameStart; /* time within the cycle at which the frame began */
  gint64 position;   /* time within the cycle at the last advance */
} VornAnimationIter;

typedef struct {
  GdkPixbufAnimationIterClass parent_class;
} VornAnimationIterClass;

static GType vorn_animation_get_type(void);
static GType vorn_animation_iter_get_type(void);
G_DEFINE_TYPE(VornAnimation, vorn_animation, GDK_TYPE_PIXBUF_ANIMATION)
G_DEFINE_TYPE(VornAnimationIter, vorn_animation_iter, GDK_TYPE_PIXBUF_ANIMATION_ITER)

static void vorn_animation_finalize(GObject *object) {
  VornAnimation *a = (VornAnimation *)object;
  for (int i = 0; i < a->frames; ++i)
    if (a->pixbufs[i]) g_object_unref(a->pixbufs[i]);
  g_free(a->pixbufs);
  g_free(a->delays);
  G_OBJECT_CLASS(vorn_animation_parent_class)->finalize(object);
}

static gboolean vorn_animation_is_static_image(GdkPixbufAnimation *animation) {
  return ((VornAnimation *)animation)->frames == 1;
}

static GdkPixbuf *vorn_animation_get_static_image(GdkPixbufAnimation *animation) {
  return ((VornAnimation *)animation)->pixbufs[0];
}

static void vorn_animation_get_size(GdkPixbufAnimation *animation, int *width, int *height) {
  VornAnimation *a = (VornAnimation *)animation;
  if (width) *width = a->width;
  if (height) *height = a->height;
}

static gint64 Milliseconds(const GTimeVal *time) {
  if (!time) return g_get_real_time() / 1000;
  return (gint64)time->tv_sec * 1000 + time->tv_usec / 1000;
}

static GdkPixbufAnimationIter *vorn_animation_get_iter(GdkPixbufAnimation *animation,
                                                       const GTimeVal *start) {
  VornAnimationIter *iter = g_object_new(vorn_animation_iter_get_type(), NULL);
  iter->animation = g_object_ref((VornAnimation *)animation);
  iter->start = Milliseconds(start);
  return &iter->parent_instance;
}

static void vorn_animation_class_init(VornAnimationClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = vorn_animation_finalize;
  GdkPixbufAnimationClass *anim = GDK_PIXBUF_ANIMATION_CLASS(klass);
  anim->is_static_image = vorn_animation_is_static_image;
  anim->get_static_image = vorn_animation_get_static_image;
  anim->get_size = vorn_animation_get_size;
  anim->get_iter = vorn_animation_get_iter;
}

static void vorn_animation_init(VornAnimation *animation) { (void)animation; }

static void vorn_animation_iter_finalize(GObject *object) {
  VornAnimationIter *iter = (VornAnimationIter *)object;
  g_object_unref(iter->animation);
  G_OBJECT_CLASS(vorn_animation_iter_parent_class)->finalize(object);
}

static int vorn_iter_get_delay_time(GdkPixbufAnimationIter *base) {
  VornAnimationIter *iter = (VornAnimationIter *)base;
  const VornAnimation *a = iter->animation;
  if (a->frames == 1) return -1; /* a still picture shows for ever */
  return (int)(a->delays[iter->frame] - (iter->position - iter->frameStart));
}

static GdkPixbuf *vorn_iter_get_pixbuf(GdkPixbufAnimationIter *base) {
  VornAnimationIter *iter = (VornAnimationIter *)base;
  return iter->animation->pixbufs[iter->frame];
}

static gboolean vorn_iter_on_currently_loading_frame(GdkPixbufAnimationIter *base) {
  (void)base;
  return FALSE; /* every frame is complete before the animation is handed out */
}

static gboolean vorn_iter_advance(GdkPixbufAnimationIter *base, const GTimeVal *now) {
  VornAnimationIter *iter = (VornAnimationIter *)base;
  const VornAnimation *a = iter->animation;
  gint64 elapsed = Milliseconds(now) - iter->start;
  if (elapsed < 0) {
    /* The clock went back: start again from here. */
    iter->start = Milliseconds(now);
    elapsed = 0;
  }
  iter->position = elapsed % a->cycle;
  int frame = 0;
  gint64 frameStart = 0;
  while (frame + 1 < a->frames && frameStart + a->delays[frame] <= iter->position)
    frameStart += a->delays[frame++];
  const gboolean changed = frame != iter->frame;
  iter->frame = frame;
  iter->frameStart = frameStart;
  return changed;
}

static void vorn_animation_iter_class_init(VornAnimationIterClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = vorn_animation_iter_finalize;
  GdkPixbufAnimationIterClass *iter = GDK_PIXBUF_ANIMATION_ITER_CLASS(klass);
  iter->get_delay_time = vorn_iter_get_delay_time;
  iter->get_pixbuf = vorn_iter_get_pixbuf;
  iter->on_currently_loading_frame = vorn_iter_on_currently_loading_frame;
  iter->advance = vorn_iter_advance;
}

static void vorn_animation_iter_init(VornAnimationIter *iter) { (void)iter; }

/* --- Reading a document -------------------------------------------------- */

/* What a failed call of the library means, for the GError a viewer shows. */
static const char *Reason(int32_t code) {
  switch (code) {
    case VN_ERROR_FILE_NOT_FOUND: return "the file does not exist";
    case VN_ERROR_OPEN_FAILED: return "the file could not be read as a document";
    case VN_ERROR_FAILED: return "the document's pixels could not be read";
    default: return "the library refused the request";
  }
}

static gboolean Fail(GError **error, int32_t code) {
  g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
              "Could not read the image: %s (vornfile error %d)", Reason(code), code);
  return FALSE;
}

static BITMAPINFO *TopDownHeader(uint8_t *storage, int width, int height, int bits) {
  BITMAPINFO *info = (BITMAPINFO *)storage;
  memset(storage, 0, sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = -height;
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = (WORD)bits;
  info->bmiHeader.biCompression = BI_RGB;
  return info;
}

/* Marks with alpha 0 the pixels whose value at the bitmap's own depth is
 * the frame's transparent colour. rgba is width x height x 4. */
static gboolean ClearTransparent(HBITMAP bitmap, HDC dc, const BITMAP *shape, uint32_t key,
                                 guchar *rgba) {
  const int w = shape->bmWidth, h = shape->bmHeight < 0 ? -shape->bmHeight : shape->bmHeight;
  const int depth = shape->bmBitsPixel;
  if (depth > 16) {
    /* 24 bits: the key is blue + 256 green + 65536 red, as the rows read. */
    for (size_t i = 0; i < (size_t)w * h; ++i) {
      guchar *p = rgba + i * 4;
      const uint32_t value = (uint32_t)p[2] | (uint32_t)p[1] << 8 | (uint32_t)p[0] << 16;
      if (value == (key & 0xFFFFFFu)) p[3] = 0;
    }
    return TRUE;
  }
  uint8_t storage[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
  BITMAPINFO *info = TopDownHeader(storage, w, h, depth);
  if (depth == 16) {
    DIBSECTION section;
    if (GetObjectA(bitmap, sizeof section, &section) != (int)sizeof section) return FALSE;
    info->bmiHeader.biCompression = BI_BITFIELDS;
    memcpy(info->bmiColors, section.dsBitfields, sizeof section.dsBitfields);
  }
  const size_t stride = ((size_t)w * depth + 31) / 32 * 4;
  guchar *values = g_try_malloc(stride * h);
  if (!values) return FALSE;
  const gboolean read = GetDIBits(dc, bitmap, 0, (UINT)h, values, info, DIB_RGB_COLORS) == h;
  for (int y = 0; read && y < h; ++y) {
    const guchar *row = values + stride * y;
    for (int x = 0; x < w; ++x) {
      uint32_t value;
      switch (depth) {
        case 1: value = (row[x >> 3] >> (7 - (x & 7))) & 1; break;
        case 4: value = (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15; break;
        case 8: value = row[x]; break;
        default: value = (uint32_t)row[2 * x] | (uint32_t)row[2 * x + 1] << 8; break;
      }
      if (value == key) rgba[((size_t)y * w + x) * 4 + 3] = 0;
    }
  }
  g_free(values);
  return read;
}

/* The composite of one frame as a new pixbuf: RGBA when alpha is set (the
 * frame's transparent colour becomes transparent), else RGB. */
static GdkPixbuf *FramePixbuf(vnHandle doc, int32_t frame, gboolean alpha, GError **error) {
  HBITMAP bitmap = vnGetBitmap(doc, frame, -1);
  BITMAP shape;
  if (!bitmap || GetObjectA(bitmap, sizeof shape, &shape) != (int)sizeof shape) {
    Fail(error, vnGetLastError());
    return NULL;
  }
  const int w = shape.bmWidth, h = shape.bmHeight < 0 ? -shape.bmHeight : shape.bmHeight;
  GdkPixbuf *pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, w, h);
  guchar *rows = g_try_malloc((size_t)w * h * 4);
  if (!pixbuf || !rows) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "Not enough memory for a %d x %d image", w, h);
    if (pixbuf) g_object_unref(pixbuf);
    g_free(rows);
    return NULL;
  }
  uint8_t storage[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
  HDC dc = CreateCompatibleDC(NULL);
  gboolean ok = GetDIBits(dc, bitmap, 0, (UINT)h, rows, TopDownHeader(storage, w, h, 32),
                          DIB_RGB_COLORS) == h;
  /* 32-bit rows hold blue, green, red, spare: turned into red, green, blue
   * and an opaque alpha. */
  for (size_t i = 0; ok && i < (size_t)w * h; ++i) {
    guchar *p = rows + i * 4;
    const guchar blue = p[0];
    p[0] = p[2];
    p[2] = blue;
    p[3] = 255;
  }
  const int32_t key = vnGetFrameInfo(doc, frame, VN_FRAME_TRANSCOLOR);
  if (ok && alpha && key != -1) ok = ClearTransparent(bitmap, dc, &shape, (uint32_t)key, rows);
  DeleteDC(dc);
  if (!ok) {
    Fail(error, VN_ERROR_FAILED);
    g_object_unref(pixbuf);
    g_free(rows);
    return NULL;
  }
  guchar *pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf), channels = alpha ? 4 : 3;
  for (int y = 0; y < h; ++y) {
    const guchar *from = rows + (size_t)y * w * 4;
    guchar *to = pixels + (size_t)y * stride;
    for (int x = 0; x < w; ++x, from += 4, to += channels) memcpy(to, from, channels);
  }
  g_free(rows);
  return pixbuf;
}

/* Every frame of an open document as an animation. */
static VornAnimation *ReadAnimation(vnHandle doc, GError **error) {
  const int32_t frames = vnGetFrameCount(doc);
  if (frames <= 0) {
    Fail(error, vnGetLastError());
    return NULL;
  }
  /* One frame with a transparent colour gives every frame an alpha channel,
   * so that all pixbufs of the animation have one format. */
  gboolean alpha = FALSE;
  for (int32_t f = 0; f < frames; ++f)
    if (vnGetFrameInfo(doc, f, VN_FRAME_TRANSCOLOR) != -1) alpha = TRUE;
  VornAnimation *a = g_object_new(vorn_animation_get_type(), NULL);
  a->pixbufs = g_new0(GdkPixbuf *, frames);
  a->delays = g_new0(int, frames);
  for (int32_t f = 0; f < frames; ++f) {
    a->pixbufs[f] = FramePixbuf(doc, f, alpha, error);
    if (!a->pixbufs[f]) {
      a->frames = f;
      g_object_unref(a);
      return NULL;
    }
    a->frames = f + 1;
    const int32_t delay = vnGetFrameInfo(doc, f, VN_FRAME_DELAY);
    a->delays[f] = delay < kShortestDelay ? kDefaultDelay : delay;
    a->cycle += a->delays[f];
  }
  a->width = gdk_pixbuf_get_width(a->pixbufs[0]);
  a->height = gdk_pixbuf_get_height(a->pixbufs[0]);
  return a;
}

/* Opens the bytes of a file as a document through a temporary file. */
static VornAnimation *Decode(const guchar *bytes, gsize length, GError **error) {
  const char *pattern = length >= 4 && memcmp(bytes, "RIFF", 4) == 0 ? "vornfile-XXXXXX.ani"
                                                                      : "vornfile-XXXXXX.vrn";
  gchar *path = NULL;
  const int fd = g_file_open_tmp(pattern, &path, error);
  if (fd < 0) return NULL;
  gboolean written = TRUE;
  for (gsize done = 0; written && done < length;) {
    const ssize_t n = write(fd, bytes + done, length - done);
    written = n > 0;
    if (written) done += (gsize)n;
  }
  written = close(fd) == 0 && written;
  vnHandle doc = written ? vnOpen(path) : 0;
  const int32_t code = vnGetLastError();
  g_unlink(path); /* the library has read what it needs */
  g_free(path);
  if (!written) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
                "Could not write a temporary copy of the image");
    return NULL;
  }
  if (!doc) {
    Fail(error, code);
    return NULL;
  }
  VornAnimation *animation = ReadAnimation(doc, error);
  vnClose(doc);
  return animation;
}

static VornAnimation *DecodeFile(FILE *file, GError **error) {
  GByteArray *bytes = g_byte_array_new();
  guchar chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) g_byte_array_append(bytes, chunk, (guint)n);
  VornAnimation *animation = NULL;
  if (ferror(file))
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Could not read the file");
  else
    animation = Decode(bytes->data, bytes->len, error);
  g_byte_array_unref(bytes);
  return animation;
}

/* --- The module's entry points -------------------------------------------- */

static GdkPixbuf *vorn_load(FILE *file, GError **error) {
  VornAnimation *animation = DecodeFile(file, error);
  if (!animation) return NULL;
  GdkPixbuf *first = g_object_ref(animation->pixbufs[0]);
  g_object_unref(animation);
  return first;
}

static GdkPixbufAnimation *vorn_load_animation(FILE *file, GError **error) {
  return (GdkPixbufAnimation *)DecodeFile(file, error);
}

typedef struct {
  GdkPixbufModuleSizeFunc size;
  GdkPixbufModulePreparedFunc prepared;
  GdkPixbufModuleUpdatedFunc updated;
  gpointer data;
  GByteArray *bytes;
} Context;

static gpointer vorn_begin_load(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                                GdkPixbufModuleUpdatedFunc updated, gpointer data,
                                GError **error) {
  (void)error;
  Context *context = g_new0(Context, 1);
  context->size = size;
  context->prepared = prepared;
  context->updated = updated;
  context->data = data;
  context->bytes = g_byte_array_new();
  return context;
}

static gboolean vorn_load_increment(gpointer data, const guchar *buffer, guint size,
                                    GError **error) {
  (void)error;
  g_byte_array_append(((Context *)data)->bytes, buffer, size);
  return TRUE;
}

/* The document is read when all its bytes are there: the library reads
 * whole files. */
static gboolean vorn_stop_load(gpointer data, GError **error) {
  Context *context = data;
  VornAnimation *animation = Decode(context->bytes->data, context->bytes->len, error);
  g_byte_array_unref(context->bytes);
  gboolean ok = animation != NULL;
  if (ok) {
    int width = animation->width, height = animation->height;
    if (context->size) context->size(&width, &height, context->data);
    /* A size of 0 asks only for the size (gdk_pixbuf_get_file_info). The
     * animation is always handed over, also for a still picture, so that
     * the loader keeps its pixels as they are. */
    if (width != 0 && height != 0) {
      if (context->prepared)
        context->prepared(animation->pixbufs[0], &animation->parent_instance, context->data);
      if (context->updated)
        context->updated(animation->pixbufs[0], 0, 0, animation->width, animation->height,
                         context->data);
    }
    g_object_unref(animation);
  }
  g_free(context);
  return ok;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info);

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module) {
  module->load = vorn_load;
  module->load_animation = vorn_load_animation;
  module->begin_load = vorn_begin_load;
  module->load_increment = vorn_load_increment;
  module->stop_load = vorn_stop_load;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info) {
  static GdkPixbufModulePattern signature[] = {
      {(char *)"Vorn", NULL, 100},
      /* Animated cursors: below the system's own loader when it is there. */
      {(char *)"RIFF    ACON", (char *)"    xxxx    ", 50},
      {NULL, NULL, 0},
  };
  static gchar *mime_types[] = {(gchar *)VORN_MIME_TYPE,
                                (gchar *)"application/x-navi-animation", NULL};
  static gchar *extensions[] = {(gchar *)"vrn", (gchar *)"ani", NULL};
  info->name = (gchar *)"vrn";
  info->signature = signature;
  info->description = (gchar *)"Layered animated image document";
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = 0; /* read only; the library's documents are not thread-safe */
  info->license = (gchar *)"MIT";
}

G_GNUC_END_IGNORE_DEPRECATIONS
