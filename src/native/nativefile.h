// The native document reader, current version: "VornX" and a version digit,
// a zlib-compressed XML header describing frames and layers, then every
// layer's colour and alpha blocks in document order. Files that do not
// begin with "VornX" go to the older reader (nativeold.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "document/framelist.h"
#include "native/nativecommon.h"

namespace vorn {

class TKrXmlElement;
class TStream;

// Reads the document at the stream's position into the frame list.
//
// - A version digit above 2: ENativeError(kTryLatestVer), before the list
//   is touched. Otherwise the list is cleared and the header inflated
//   (at most options.MaxHeaderTextBytes of text) and parsed.
// - Frame i is the root's child i and must be named "Frame". A missing or
//   misnamed first frame fails with ENativeError(kFileBroken); a later one
//   shows the user a notice (MessageBoxA, caption "Vornix", the text of
//   kFileBroken) and ends the document there.
// - Every frame is made with AddFrame: a later one starts at frame 0's size
//   and depth with one layer "Layer1", which its Layers element replaces.
// - A failure inside the first frame clears the list and propagates. A
//   failure inside a later frame ends the document silently: the frames
//   before it stay, and so does the frame that failed, with whatever it had
//   read (its frame-0 shape and "Layer1" when it failed before its layers).
// - With firstFrameOnly the reader stops after frame 0, the stream just
//   after its last block. progress, when given, is called after each frame.
//
// Returns the header's Count as declared, CompType and CompLevel (also when
// the frames ended early).
TNativeResult ReadNative(TFrameList &list, TStream &stream, bool firstFrameOnly,
                         ProgressCallback progress, void *progressData,
                         const TNativeOptions &options = {});

// One Frame element: its properties, then its Layers child (FileBroken when
// there is none).
void ReadFrameXml(TFrame &frame, const TKrXmlElement &element, TStream &stream,
                  TNativeContext &context);

// One Layers element: sizes the composite and selection, reads the palette
// (RGB text, six hexadecimal digits per entry, COLORREF order) and Count
// consecutive Layer children from the first one, then copies the palette
// into every layer and composes the frame.
void ReadLayersXml(TFastLayerList &list, const TKrXmlElement &element, TStream &stream,
                   TNativeContext &context);

// Sizes a frame's composite at the declared size and depth and its
// selection at 1 bit, after the depth check and charging both to the
// document's budget; shared by both versions.
void SizeLayerList(TFastLayerList &list, int32_t width, int32_t height, int32_t bpp,
                   TNativeContext &context);

// One Layer element: its properties, its colour block and, from Version 100,
// its alpha block (a length of 0 or less: no alpha channel).
void ReadLayerXml(TFastLayer &layer, const TKrXmlElement &element, TStream &stream,
                  TNativeContext &context);

// The blocks of one layer, shared by both versions: sizes the surface like
// its list, decodes the colour block and (from Version 100) the alpha block
// by the rules of the header's Version, and gives the surface the list's
// colour table.
void ReadLayerBlocks(TFastLayer &layer, TStream &stream, TNativeContext &context);

// The frame loop shared by both versions, with the failure policy described
// at ReadNative: for each of context.Header.Count frames, present(i) says
// whether frame i is there to read (false ends the document; it may raise
// instead), then a frame shaped like frame 0 is added and read(frame, i)
// fills it; read clears the frame's layers before reading its own. A later
// frame that fails with no layer is made again as AddFrame makes it.
void ReadFrames(TFrameList &list, TNativeContext &context, bool firstFrameOnly,
                ProgressCallback progress, void *progressData,
                const std::function<bool(int32_t)> &present,
                const std::function<void(TFrame &, int32_t)> &read);

}  // namespace vorn

namespace vorn {

// The native reader as the opener calls it: opens the file (read, deny
// writers), reads every frame without composing them (the caller composes
// once afterwards) and notes CompType and CompLevel in the options. A
// callback counts only at an address above 0xFFFF.
void ReadNativeFile(TFrameList &list, TStream &file, const std::string &fileName,
                    TSaveOption &options, ProgressCallback callback, void *callbackData);

}  // namespace vorn
