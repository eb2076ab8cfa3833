// The builder's compressor: turns bytes into one compressed stream of the
// updater's format (package/inflater.h states it) and proves every stream it
// writes by unpacking it with the updater's own decompressor.
//
// How: libdeflate compresses to raw DEFLATE (RFC 1951), and the transcoder
// rewrites that stream block by block into our format. The two differ only
// in framing, so most of the bits are copied unchanged:
//   - block header: 3 bits (BFINAL, BTYPE) become 4 (kind 5 fixed, 6
//     dynamic, 7 stored; bit 3 = last);
//   - stored block: NLEN is dropped, and the padding before LEN is that of
//     our stream, since the header widths differ;
//   - dynamic block: HLIT and HDIST are kept, the code-length code lengths
//     are listed again in our order (18, 17, 16, 0, 1, ..., 15) with HCLEN
//     counted for that order; the coded code lengths and the block data are
//     copied bit for bit.
// The updater accepts fewer codes than RFC 1951 allows: a code must be
// complete unless its longest code has 1 bit, and a dynamic block has at most
// 286 literal/length and 30 distance lengths. A dynamic block that breaks one
// of these rules is not copied but coded again from its decoded symbols
// (new complete codes; a fixed block when that is shorter).
//
// Errors of the builder are exceptions: std::invalid_argument for a level
// out of range, std::runtime_error for a raw stream that does not decode and
// for a stream that fails verification. No bad stream ever leaves here.
#ifndef ZORVAT_BUILDER_COMPRESSOR_H
#define ZORVAT_BUILDER_COMPRESSOR_H

#include <cstdint>

#include "builder/packagewriter.h"

enum { MIN_COMPRESSION_LEVEL = 1, MAX_COMPRESSION_LEVEL = 12 };

// The raw DEFLATE stream that libdeflate makes of data at level (1-12).
Bytes rawDeflate(const Bytes& data, int level);

// Compresses data at level (1-12: libdeflate's levels, 12 the smallest and
// slowest) into a stream of our format, verified before it is returned.
Bytes compressStream(const Bytes& data, int level);

// Rewrites a raw DEFLATE stream (no zlib or gzip wrapper) into our format.
// Everything after the block flagged final is ignored. Throws
// std::runtime_error when raw is not valid DEFLATE. The result is not
// verified: compressStream does that.
Bytes transcodeRawDeflate(const Bytes& raw);

// Unpacks stream with the updater's decompressor and compares the result
// with original byte for byte; throws std::runtime_error on any difference
// or failure.
void verifyStream(const Bytes& stream, const Bytes& original);

// Unpacks stream, which must give exactly unpackedSize bytes, with the
// updater's decompressor. Throws std::runtime_error when the stream fails or
// gives another size.
Bytes decompressStream(const Bytes& stream, uint32_t unpackedSize);

#endif
