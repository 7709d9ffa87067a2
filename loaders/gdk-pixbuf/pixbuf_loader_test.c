/* pixbuf_loader_test.c - the GdkPixbuf loader module against the C API.
 *
 * With a private loaders cache that holds only our module, every native
 * document and animated cursor of samples/ loads through
 * gdk_pixbuf_animation_new_from_file and through an incremental
 * GdkPixbufLoader, and every sample (any kind the library reads, plus a GIF
 * whose delays differ) through the module's own incremental entry points:
 * the size, the frame count, each frame's delay and pixels equal what the
 * C API gives. Damaged files give a GError. gdk-pixbuf-thumbnailer draws the
 * same picture as `vorn thumbnail`.
 *
 *   pixbuf_loader_test MODULE QUERY_LOADERS SOURCE_DIR WORK_DIR VORN THUMBNAILER
 */
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <glib/gstdio.h>
#include <gmodule.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vornfile_gdi.h"

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

static int failures = 0;

#define CHECK(condition, ...)                          \
  do {                                                 \
    if (!(condition)) {                                \
      fprintf(stderr, "FAILED %s:%d: ", __FILE__, __LINE__); \
      fprintf(stderr, __VA_ARGS__);                    \
      fprintf(stderr, "\n");                           \
      ++failures;                                      \
    }                                                  \
  } while (0)

static void Run(char **argv, const char *what) {
  gchar *out = NULL, *err = NULL;
  gint status = 0;
  GError *error = NULL;
  if (!g_spawn_sync(NULL, argv, NULL, G_SPAWN_DEFAULT, NULL, NULL, &out, &err, &status, &error) ||
      !g_spawn_check_wait_status(status, NULL)) {
    fprintf(stderr, "%s failed: %s%s\n", what, error ? error->message : "", err ? err : "");
    exit(1);
  }
  g_free(out);
  g_free(err);
}

/* The composite of a frame through the C API, 0x00RRGGBB per pixel. */
static guint32 *Composite(vnHandle doc, int frame, int *width, int *height) {
  HBITMAP bitmap = vnGetBitmap(doc, frame, -1);
  BITMAP shape;
  if (!bitmap || GetObjectA(bitmap, sizeof shape, &shape) != (int)sizeof shape) return NULL;
  *width = shape.bmWidth;
  *height = shape.bmHeight < 0 ? -shape.bmHeight : shape.bmHeight;
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = *width;
  info.bmiHeader.biHeight = -*height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  guint32 *pixels = g_new(guint32, (size_t)*width * *height);
  HDC dc = CreateCompatibleDC(NULL);
  GetDIBits(dc, bitmap, 0, (UINT)*height, pixels, &info, DIB_RGB_COLORS);
  DeleteDC(dc);
  return pixels;
}

/* The pixbuf shows the composite: equal colours where it is opaque. */
static int SamePixels(GdkPixbuf *pixbuf, const guint32 *expected, int width, int height) {
  const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar *pixels = gdk_pixbuf_read_pixels(pixbuf);
  int opaque = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const guchar *p = pixels + (size_t)y * stride + (size_t)x * channels;
      if (channels == 4 && p[3] == 0) continue;
      ++opaque;
      const guint32 v = expected[(size_t)y * width + x];
      if (p[0] != ((v >> 16) & 255) || p[1] != ((v >> 8) & 255) || p[2] != (v & 255)) return 0;
    }
  return opaque > 0;
}

/* Size, frame count, delays and every frame's pixels against the C API. */
static void CheckAnimation(GdkPixbufAnimation *animation, const char *path) {
  vnHandle doc = vnOpen(path);
  CHECK(doc, "%s: the library does not open it", path);
  if (!doc || !animation) return;
  const int frames = vnGetFrameCount(doc);
  CHECK(gdk_pixbuf_animation_get_width(animation) == vnGetInfo(doc, VN_INFO_WIDTH) &&
            gdk_pixbuf_animation_get_height(animation) == vnGetInfo(doc, VN_INFO_HEIGHT),
        "%s: size", path);
  CHECK(gdk_pixbuf_animation_is_static_image(animation) == (frames == 1), "%s: static", path);
  GTimeVal now = {1000, 0};
  GdkPixbufAnimationIter *iter = gdk_pixbuf_animation_get_iter(animation, &now);
  GdkPixbuf *first = gdk_pixbuf_animation_iter_get_pixbuf(iter);
  for (int f = 0; f < frames; ++f) {
    GdkPixbuf *shown = gdk_pixbuf_animation_iter_get_pixbuf(iter);
    CHECK(f == 0 || shown != first, "%s: frame %d is frame 0 again", path, f);
    int width = 0, height = 0;
    guint32 *expected = Composite(doc, f, &width, &height);
    CHECK(expected && SamePixels(shown, expected, width, height), "%s: pixels of frame %d", path, f);
    g_free(expected);
    const int delay = gdk_pixbuf_animation_iter_get_delay_time(iter);
    if (frames == 1) {
      CHECK(delay == -1, "%s: a still picture has delay %d", path, delay);
      break;
    }
    const int stored = vnGetFrameInfo(doc, f, VN_FRAME_DELAY);
    CHECK(delay == (stored < 10 ? 100 : stored), "%s: frame %d delay %d, stored %d", path, f,
          delay, stored);
    g_time_val_add(&now, (glong)delay * 1000);
    gdk_pixbuf_animation_iter_advance(iter, &now);
  }
  /* After the last frame the animation starts again. */
  CHECK(gdk_pixbuf_animation_iter_get_pixbuf(iter) == first, "%s: does not loop", path);
  g_object_unref(iter);
  vnClose(doc);
}

/* Through the module's own entry points, fed in small increments. */
static GdkPixbufAnimation *prepared_animation;
static void Prepared(GdkPixbuf *pixbuf, GdkPixbufAnimation *animation, gpointer data) {
  (void)pixbuf;
  (void)data;
  prepared_animation = g_object_ref(animation);
}

static GdkPixbufAnimation *LoadIncrementally(GdkPixbufModule *module, const char *path,
                                             GError **error) {
  gchar *bytes = NULL;
  gsize length = 0;
  if (!g_file_get_contents(path, &bytes, &length, error)) return NULL;
  prepared_animation = NULL;
  gpointer context = module->begin_load(NULL, Prepared, NULL, NULL, error);
  gboolean ok = context != NULL;
  for (gsize at = 0; ok && at < length; at += 100)
    ok = module->load_increment(context, (const guchar *)bytes + at,
                                (guint)MIN((gsize)100, length - at), error);
  ok = module->stop_load(context, error) && ok;
  g_free(bytes);
  if (!ok && prepared_animation) g_clear_object(&prepared_animation);
  return prepared_animation;
}

static int Matches(const char *name, const char *suffix) {
  return g_str_has_suffix(name, suffix);
}

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: pixbuf_loader_test MODULE QUERY SOURCE WORK VORN THUMBNAILER\n");
    return 2;
  }
  const char *modulePath = argv[1], *query = argv[2], *source = argv[3], *work = argv[4];
  const char *vorn = argv[5], *thumbnailer = argv[6];
  g_mkdir_with_parents(work, 0755);

  /* A loaders cache with only our module. */
  gchar *cache = g_build_filename(work, "loaders.cache", NULL);
  gchar *out = NULL;
  char *queryArgv[] = {(char *)query, (char *)modulePath, NULL};
  GError *error = NULL;
  gint status = 0;
  if (!g_spawn_sync(NULL, queryArgv, NULL, G_SPAWN_DEFAULT, NULL, NULL, &out, NULL, &status,
                    &error) || !g_spawn_check_wait_status(status, NULL) ||
      !g_file_set_contents(cache, out, -1, NULL)) {
    fprintf(stderr, "%s %s failed\n", query, modulePath);
    return 1;
  }
  g_free(out);
  g_setenv("GDK_PIXBUF_MODULE_FILE", cache, TRUE);

  /* GdkPixbuf picks a loader by the MIME type the shared-mime-info database
   * guesses: a private database that knows ours, as an installation's
   * update-mime-database gives it. */
  gchar *share = g_build_filename(work, "share", NULL);
  gchar *packages = g_build_filename(share, "mime", "packages", NULL);
  gchar *mimeDir = g_build_filename(share, "mime", NULL);
  gchar *xml = g_build_filename(source, "tools", "vorn", "vornfile-mime.xml", NULL);
  gchar *copy = g_build_filename(packages, "vornfile.xml", NULL);
  gchar *text = NULL;
  g_mkdir_with_parents(packages, 0755);
  if (!g_file_get_contents(xml, &text, NULL, NULL) || !g_file_set_contents(copy, text, -1, NULL)) {
    fprintf(stderr, "%s could not be copied\n", xml);
    return 1;
  }
  char *updateArgv[] = {"update-mime-database", mimeDir, NULL};
  gchar *update = g_find_program_in_path("update-mime-database");
  if (!update) {
    fprintf(stderr, "update-mime-database not found (shared-mime-info)\n");
    return 1;
  }
  updateArgv[0] = update;
  Run(updateArgv, "update-mime-database");
  g_setenv("XDG_DATA_HOME", share, TRUE);
  g_free(text);
  g_free(update);
  g_free(copy);
  g_free(xml);
  g_free(mimeDir);
  g_free(packages);
  g_free(share);

  GdkPixbufFormat *format = NULL;
  GSList *formats = gdk_pixbuf_get_formats();
  for (GSList *f = formats; f; f = f->next)
    if (strcmp(gdk_pixbuf_format_get_name(f->data), "vrn") == 0) format = f->data;
  g_slist_free(formats);
  CHECK(format != NULL, "the loaders cache has no vrn format");

  GModule *library = g_module_open(modulePath, G_MODULE_BIND_LOCAL);
  void (*fill)(GdkPixbufModule *) = NULL;
  if (!library || !g_module_symbol(library, "fill_vtable", (gpointer *)&fill)) {
    fprintf(stderr, "%s: not a loader module\n", modulePath);
    return 1;
  }
  GdkPixbufModule module;
  memset(&module, 0, sizeof module);
  fill(&module);

  gchar *samples = g_build_filename(source, "samples", NULL);
  GDir *dir = g_dir_open(samples, 0, NULL);
  const char *name;
  GPtrArray *every = g_ptr_array_new_with_free_func(g_free);
  while (dir && (name = g_dir_read_name(dir)))
    if (!Matches(name, ".md")) g_ptr_array_add(every, g_build_filename(samples, name, NULL));
  if (dir) g_dir_close(dir);
  g_ptr_array_add(every, g_build_filename(source, "tests", "data", "gif",
                                          "ancell-gif-test-suite", "animation-speed.gif", NULL));
  g_ptr_array_add(every, g_build_filename(source, "tests", "data", "gif", "pillow",
                                          "transparent_dispose.gif", NULL));
  CHECK(every->len >= 8, "samples not found in %s", samples);

  for (guint i = 0; i < every->len; ++i) {
    const char *path = every->pdata[i];
    /* Every kind the library reads, through the module itself. */
    GdkPixbufAnimation *animation = LoadIncrementally(&module, path, &error);
    CHECK(animation, "%s: incremental load: %s", path, error ? error->message : "");
    g_clear_error(&error);
    CheckAnimation(animation, path);
    if (animation) g_object_unref(animation);
    if (!Matches(path, ".vrn") && !Matches(path, ".ani")) continue;

    /* The kinds the module claims, as a viewer opens them. */
    animation = gdk_pixbuf_animation_new_from_file(path, &error);
    CHECK(animation, "%s: %s", path, error ? error->message : "");
    g_clear_error(&error);
    CheckAnimation(animation, path);
    if (animation) g_object_unref(animation);

    gchar *bytes = NULL;
    gsize length = 0;
    g_file_get_contents(path, &bytes, &length, NULL);
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new();
    for (gsize at = 0; at < length; at += 333)
      gdk_pixbuf_loader_write(loader, (const guchar *)bytes + at, MIN((gsize)333, length - at),
                              NULL);
    CHECK(gdk_pixbuf_loader_close(loader, &error), "%s: loader: %s", path,
          error ? error->message : "");
    g_clear_error(&error);
    CheckAnimation(gdk_pixbuf_loader_get_animation(loader), path);
    g_object_unref(loader);
    g_free(bytes);

    /* A size asked for before loading. */
    GdkPixbuf *small = gdk_pixbuf_new_from_file_at_size(path, 20, 20, &error);
    CHECK(small && gdk_pixbuf_get_width(small) <= 20 && gdk_pixbuf_get_height(small) <= 20,
          "%s: at size: %s", path, error ? error->message : "");
    g_clear_error(&error);
    if (small) g_object_unref(small);
  }

  /* Damaged documents: a GError with the library's reason, no picture. */
  gchar *walk = g_build_filename(samples, "walk.vrn", NULL);
  gchar *bytes = NULL;
  gsize length = 0;
  g_file_get_contents(walk, &bytes, &length, NULL);
  const gsize cuts[] = {10, 200};
  for (size_t i = 0; i < G_N_ELEMENTS(cuts); ++i) {
    gchar *cut = g_build_filename(work, "cut.vrn", NULL);
    g_file_set_contents(cut, bytes, (gssize)cuts[i], NULL);
    GdkPixbufAnimation *animation = gdk_pixbuf_animation_new_from_file(cut, &error);
    CHECK(!animation && error && error->domain == GDK_PIXBUF_ERROR &&
              strstr(error->message, "could not be read as a document"),
          "cut at %zu: %s", cuts[i], error ? error->message : "no error");
    g_clear_error(&error);
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type("vrn", NULL);
    gdk_pixbuf_loader_write(loader, (const guchar *)bytes, cuts[i], NULL);
    CHECK(!gdk_pixbuf_loader_close(loader, &error) && error, "cut at %zu: loader", cuts[i]);
    g_clear_error(&error);
    g_object_unref(loader);
    g_free(cut);
  }
  g_free(bytes);

  /* The thumbnailer draws the picture `vorn thumbnail` draws: compared at
   * the same size, within what scaling filters change. */
  gchar *thumb = g_build_filename(work, "pixbuf-thumbnail.png", NULL);
  gchar *reference = g_build_filename(work, "vorn-thumbnail.png", NULL);
  char *thumbArgv[] = {(char *)thumbnailer, "-s", "128", walk, thumb, NULL};
  char *vornArgv[] = {(char *)vorn, "thumbnail", walk, reference, "--size", "128", NULL};
  Run(thumbArgv, "gdk-pixbuf-thumbnailer");
  Run(vornArgv, "vorn thumbnail");
  GdkPixbuf *a = gdk_pixbuf_new_from_file(thumb, &error);
  GdkPixbuf *b = gdk_pixbuf_new_from_file(reference, NULL);
  CHECK(a && b, "thumbnails: %s", error ? error->message : "");
  if (a && b) {
    const int w = gdk_pixbuf_get_width(b), h = gdk_pixbuf_get_height(b);
    CHECK(abs(gdk_pixbuf_get_width(a) * h - gdk_pixbuf_get_height(a) * w) <= w + h,
          "thumbnail shapes differ: %dx%d and %dx%d", gdk_pixbuf_get_width(a),
          gdk_pixbuf_get_height(a), w, h);
    GdkPixbuf *scaled = gdk_pixbuf_scale_simple(a, w, h, GDK_INTERP_BILINEAR);
    const int ca = gdk_pixbuf_get_n_channels(scaled), cb = gdk_pixbuf_get_n_channels(b);
    double total = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          total += abs(gdk_pixbuf_read_pixels(scaled)[y * gdk_pixbuf_get_rowstride(scaled) +
                                                       x * ca + c] -
                       gdk_pixbuf_read_pixels(b)[y * gdk_pixbuf_get_rowstride(b) + x * cb + c]);
    const double mean = total / (3.0 * w * h);
    CHECK(mean < 6.0, "thumbnails differ by %.2f per channel on average", mean);
    g_object_unref(scaled);
  }
  if (a) g_object_unref(a);
  if (b) g_object_unref(b);
  g_clear_error(&error);

  g_free(thumb);
  g_free(reference);
  g_free(walk);
  g_free(samples);
  g_free(cache);
  g_ptr_array_unref(every);
  if (failures) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("the loader module matches the library\n");
  return 0;
}

G_GNUC_END_IGNORE_DEPRECATIONS
