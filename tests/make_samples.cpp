// Writes the sample documents of samples/ with the test writer of native
// documents. Built with the tests, never run by them:
//
//   build/bin/make_samples samples
//
// The output is deterministic, so running it again changes nothing unless
// the documents described here change.
#include <cmath>
#include <cstdio>
#include <string>

#include "support/nativewriter.h"

namespace {

using namespace vorn::test;

uint32_t Rgb(int r, int g, int b) {
  auto c = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return c(r) << 16 | c(g) << 8 | c(b);
}

// walk.vrn: four frames of 96 x 64 at 32 bits. A tiled sky (equal tiles are
// stored once, and later frames refer to frame 0 for it), a ball that moves
// and blends through its alpha channel, and a half-transparent bar keyed on
// magenta.
NativeDocument Walk() {
  const int w = 96, h = 64;
  NativeDocument doc;
  doc.BGColor = 0x00FFFFFF;
  for (int f = 0; f < 4; ++f) {
    NativeFrame frame;
    frame.Name = "step " + std::to_string(f + 1);
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 32;
    frame.Delay = 120;
    frame.Disposal = 2;

    NativeLayer sky;
    sky.Name = "Sky";
    sky.Pixels = PackRows(w, h, 32, [](int x, int y) {
      bool light = ((x / 16) + (y / 16)) % 2 == 0;
      return 0xFF000000u | (light ? Rgb(120, 170, 255) : Rgb(90, 140, 230));
    });

    const double cx = 18 + f * 20, cy = 30 + (f % 2) * 6, radius = 13;
    NativeLayer ball;
    ball.Name = "Ball";
    ball.AlphaOn = true;
    ball.Pixels = PackRows(w, h, 32, [&](int x, int y) {
      return 0xFF000000u | Rgb(230 - (y - 17) * 3, 60 + x * 2, 40);
    });
    ball.AlphaRows = PackRows(w, h, 8, [&](int x, int y) {
      double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
      double a = (radius - d) * 96;  // a soft edge of about three pixels
      return static_cast<uint32_t>(a < 0 ? 0 : a > 255 ? 255 : a);
    });

    const uint32_t magenta = Rgb(255, 0, 255);
    NativeLayer bar;
    bar.Name = "Shade";
    bar.Alpha = 128;
    bar.TransColor = static_cast<int32_t>(magenta);
    bar.Pixels = PackRows(
        w, h, 32, [&](int, int y) { return y >= 48 && y < 58 ? Rgb(30, 90, 30) : magenta; });

    frame.Layers = {sky, ball, bar};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// palette.vrn: eight frames of 64 x 48 at 8 bits sharing one palette. The
// colours move by shifting indexes; a grid on top is keyed on index 0.
NativeDocument PaletteCycle() {
  const int w = 64, h = 48;
  NativeDocument doc;
  doc.SyncPal = true;
  std::vector<uint32_t> palette(256);
  for (int i = 0; i < 256; ++i) {
    double t = i / 64.0 * 2 * 3.14159265358979;
    palette[i] = static_cast<uint32_t>(128 + 127 * std::sin(t)) |             // red
                 static_cast<uint32_t>(128 + 127 * std::sin(t + 2.1)) << 8 |  // green
                 static_cast<uint32_t>(128 + 127 * std::sin(t + 4.2)) << 16;  // blue
  }
  palette[255] = 0xFFFFFF;
  for (int f = 0; f < 8; ++f) {
    NativeFrame frame;
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 8;
    frame.Delay = 80;
    frame.Palette = palette;
    NativeLayer plasma;
    plasma.Name = "Plasma";
    plasma.Pixels = PackRows(w, h, 8, [f](int x, int y) {
      double v = std::sin(x / 7.0) + std::sin(y / 5.0) + std::sin((x + y) / 9.0);
      return static_cast<uint32_t>((v + 3) * 10 + f * 8) % 64;
    });
    NativeLayer grid;
    grid.Name = "Grid";
    grid.TransColor = 0;
    grid.Pixels =
        PackRows(w, h, 8, [](int x, int y) { return x % 16 == 0 || y % 16 == 0 ? 255 : 0; });
    frame.Layers = {plasma, grid};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// old107.vrn: the older binary layout, version 107: two frames of 48 x 32
// at 24 bits, the top layer with an alpha channel and a lock state.
NativeDocument Older() {
  const int w = 48, h = 32;
  NativeDocument doc;
  doc.Version = 107;
  doc.BGColor = 0x00202020;
  for (int f = 0; f < 2; ++f) {
    NativeFrame frame;
    frame.Name = f == 0 ? "open" : "closed";
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 24;
    frame.Delay = 300;
    NativeLayer back;
    back.Name = "Back";
    back.Pixels = PackRows(w, h, 24, [](int x, int y) { return Rgb(40 + x * 4, 60 + y * 5, 160); });
    NativeLayer eye;
    eye.Name = "Eye";
    eye.Lock = 1;
    eye.AlphaOn = true;
    eye.Pixels = PackRows(w, h, 24, [](int, int) { return Rgb(250, 240, 200); });
    eye.AlphaRows = PackRows(w, h, 8, [f](int x, int y) {
      double dx = (x - 24) / 14.0, dy = (y - 16) / (f == 0 ? 9.0 : 2.0);
      return dx * dx + dy * dy < 1 ? 255u : 0u;
    });
    frame.Layers = {back, eye};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// photo.vrn: one frame whose colour block is a JPEG (quality 85).
NativeDocument Photo() {
  const int w = 64, h = 48;
  NativeDocument doc;
  doc.CompType = 2;
  doc.CompLevel = 85;
  NativeFrame frame;
  frame.Width = w;
  frame.Height = h;
  frame.Bpp = 24;
  NativeLayer layer;
  layer.Name = "Photo";
  layer.Pixels = PackRows(w, h, 24, [](int x, int y) {
    double d = std::hypot(x - 40.0, y - 20.0);
    return d < 12 ? Rgb(250, 200, 60) : Rgb(30 + y * 3, 90 + x, 200 - y * 2);
  });
  frame.Layers = {layer};
  doc.Frames.push_back(frame);
  return doc;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  SaveCurrent(folder + "/walk.vrn", Walk());
  SaveCurrent(folder + "/palette.vrn", PaletteCycle());
  SaveOlder(folder + "/old107.vrn", Older());
  SaveCurrent(folder + "/photo.vrn", Photo());
  std::printf("wrote walk.vrn, palette.vrn, old107.vrn and photo.vrn to %s\n", folder.c_str());
  return 0;
}
