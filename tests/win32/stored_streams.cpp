// The Win32 tests have no compressor (libdeflate is native only): their
// packages carry stored streams, which the image's decompressor reads like
// any other.
#include "builder/packagewriter.h"

Bytes packStream(const Bytes& data) { return storeStream(data); }
