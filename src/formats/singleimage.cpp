#include "formats/singleimage.h"

#include "layers/layerlist.h"
#include "runtime/exceptions.h"

namespace vorn {

void LoadSingleImage(TFastLayerList & /*layers*/, const std::string & /*fileName*/,
                     TSaveOption & /*options*/) {
  // No image reader is part of the library yet.
  throw Exception(kUnknownFormat);
}

}  // namespace vorn
