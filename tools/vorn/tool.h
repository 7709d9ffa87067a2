// Shared pieces of the command-line tool: its two kinds of failure, an open
// document that explains why it could not be opened, pixel rows read from a
// bitmap the library hands out, and PNG files written with libpng.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vornfile_gdi.h"

namespace vorn::tool {

// The command line is wrong: one line saying what, then the short usage;
// exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The work failed: one line naming the file and the cause; exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A document opened through the library. Opening checks the file first, so
// that a failure names its cause as a user would ("no such file", "is a
// directory", "permission denied", "not a readable document").
class Document {
 public:
  explicit Document(const std::string &fileName);
  ~Document();
  Document(const Document &) = delete;
  Document &operator=(const Document &) = delete;

  vnHandle Handle() const { return handle_; }
  const std::string &FileName() const { return fileName_; }
  // The kind as the library tells it (".vrn", ".bmp", ...) and what a user
  // calls it ("native document", "BMP").
  const std::string &Kind() const { return kind_; }
  std::string KindName() const;
  // True for kinds whose files carry timing per frame (animations).
  bool Animated() const;

  int32_t Frames() const { return vnGetFrameCount(handle_); }
  int32_t Layers(int32_t frame) const { return vnGetLayerCount(handle_, frame); }
  std::string FrameName(int32_t frame) const;
  std::string LayerName(int32_t frame, int32_t layer) const;

 private:
  std::string fileName_;
  std::string kind_;
  vnHandle handle_ = 0;
};

// The kinds of file the library knows, for the help text: "native document
// (.vrn), GIF (.gif), ...".
std::string KnownKinds();

// Pixels of a bitmap, one row at a time from the top: three bytes (red,
// green, blue) per pixel, or one grey byte for an alpha channel. Rows are
// fetched from the library in bands, so memory stays small for any size.
class BitmapRows {
 public:
  // Fails (Failure) when the handle is not a readable bitmap.
  BitmapRows(HBITMAP bitmap, bool grey);
  ~BitmapRows();
  BitmapRows(const BitmapRows &) = delete;
  BitmapRows &operator=(const BitmapRows &) = delete;

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  bool Grey() const { return grey_; }
  // Row y (0 = top), Width() * (Grey() ? 1 : 3) bytes; rows are read in
  // order, each at most once (a later row may replace an earlier one).
  const uint8_t *Row(int32_t y);

 private:
  HBITMAP bitmap_;
  HDC dc_;
  bool grey_;
  int32_t width_ = 0, height_ = 0;
  int32_t bandTop_ = 0, bandRows_ = 0;
  std::vector<uint32_t> band_;
  std::vector<uint8_t> row_;
};

// Writes a PNG file of width x height (8-bit RGB, or 8-bit grey) whose rows
// come from rowAt(y), top row first. The file is written under a temporary
// name in the same folder and renamed into place when complete, so a failure
// leaves an existing file as it was. Throws Failure.
void WritePng(const std::string &fileName, int32_t width, int32_t height, bool grey,
              const std::function<const uint8_t *(int32_t)> &rowAt);

// A progress bar on standard error for work that takes longer than about
// half a second, drawn only when standard error is a terminal. Without a
// total it shows that work is going on; with one, how much is done.
class Progress {
 public:
  // evenWhenSilenced: drawn also after Silence (the bar of a whole batch).
  explicit Progress(std::string label, int64_t total = 0, bool evenWhenSilenced = false);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  void Set(int64_t done);
  // From now on bars are drawn only where asked for even so: the files of a
  // batch draw none of their own under the batch's bar.
  static void Silence();

 private:
  struct State;
  State *state_;
};

// A command's arguments: the positional ones in order, and the options with
// their values (an option's value may also be given as --option=value).
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
};
// Splits arguments for a command: withValue lists options that take a
// value, flags those that take none; anything else starting with '-' is a
// UsageError.
Arguments Split(const std::string &command, const std::vector<std::string> &arguments,
                const std::vector<std::string> &withValue, const std::vector<std::string> &flags);

// Subcommands; each returns the exit status.
int InfoCommand(const std::vector<std::string> &arguments);
int ExportCommand(const std::vector<std::string> &arguments);
int ThumbnailCommand(const std::vector<std::string> &arguments);
int ConvertCommand(const std::vector<std::string> &arguments);

// Parses a whole non-negative number for an option; UsageError otherwise.
int32_t ParseCount(const std::string &option, const std::string &text, int32_t minimum);

}  // namespace vorn::tool
