// The kind of compressed image "Process ISO" writes: the user's choice, forced to zlib with XA
// tags whenever an XA stream is to be ripped.
#pragma once

#include "common/reporter.h"
#include "packing/compressed_format.h"

namespace quarnel {

// What the user chose: "Normal Compression" or "Maximum Compression".
enum class CompressionChoice { Normal, Maximum };

// Logs "- Compression mode: ..."; shows the "Warning." box when ripping overrides Maximum.
CompressionMode ChooseCompressionMode(CompressionChoice choice, bool xaStreamRipped,
                                      Reporter& reporter);

}  // namespace quarnel
