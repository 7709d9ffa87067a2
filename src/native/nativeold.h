// The native document reader, older versions 0 to 107: "Vorn" and the
// version in three characters (no signature at all for version 0), a binary
// header, then every frame's record with its layer records and blocks. The
// current reader hands over every file that does not begin with "VornX".
#pragma once

#include "document/framelist.h"
#include "native/nativecommon.h"

namespace vorn {

class TStream;

// The highest version this reader accepts.
inline constexpr int32_t kNewestOlderVersion = 107;

// The contract of ReadNative (nativefile.h), for the older layouts:
//
// - After "Vorn" the next three bytes are the version by the header's
//   integer rule (leading spaces allowed); digits that do not convert, or a
//   version above 107, fail with ENativeError(kTryLatestVer) after the list
//   has been cleared. Without "Vorn" the file is version 0 from its first
//   byte.
// - From version 103 the header is a record of n bytes, of which the first
//   40 are the raw TNativeHeader (fields beyond n read as 0); its own
//   Version replaces the signature's for everything after it. Before 103
//   the header is the frame count, SyncPal and (102) BGColor.
// - Strings, blocks and the skipped lists are checked against the bytes the
//   stream holds before anything is allocated for them.
TNativeResult ReadNativeOld(TFrameList &list, TStream &stream, bool firstFrameOnly,
                            ProgressCallback progress, void *progressData,
                            const TNativeOptions &options = {});

// One frame record: name, TransColor, Delay, Disposal, a reserved field,
// the layer list record and, from version 104, two lists of 16-byte records
// that are skipped.
void ReadFrameBin(TFrame &frame, TStream &stream, TNativeContext &context);

// One layer list record: count, size, depth, the palette (blue, green, red,
// reserved per entry; 2^bpp entries up to 8 bits) and the layer records.
void ReadLayersBin(TFastLayerList &list, TStream &stream, TNativeContext &context);

// One layer record: the fields of its version, then its blocks.
void ReadLayerBin(TFastLayer &layer, TStream &stream, TNativeContext &context);

}  // namespace vorn
