// Splits a payload over the package file and its volume files.
//
// The payload is one byte sequence; part 0 goes into the package's payload
// record (u32 length + bytes, at the end of the package file), and each
// further part k (k >= 1) into volume file k:
//   offset 0  u32 part length, little-endian
//   offset 4  the part's bytes, to the end of the file
// Volume k's name is the package's path with its extension replaced by
// ".D" and k in at least two digits (.D01 ... .D99, .D100): the text from
// the last full stop on is replaced when no path separator follows it,
// otherwise the extension is appended. The updater reads Windows paths,
// where the separator is "\"; the builder also takes "/" as one, so that a
// native path whose folder name holds a full stop is named the same way.
//
// Errors are exceptions: std::invalid_argument for a payload that cannot be
// split as asked (more bytes left but a volume capacity of 0, or a payload
// of 4 GiB or more, which no u32 payload offset could address).
#ifndef ZORVAT_BUILDER_VOLUMEWRITER_H
#define ZORVAT_BUILDER_VOLUMEWRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "builder/packagewriter.h"

// The parts in order. Capacities count payload bytes, without the 4-byte
// length field: part 0 takes up to firstPartCapacity bytes, every further
// part up to volumeCapacity. Every part but the last is full; there is
// always a part 0 (empty for an empty payload), and no empty volume.
std::vector<Bytes> splitPayload(const Bytes& payload, uint32_t firstPartCapacity, uint32_t volumeCapacity);

// The name of volume file k (k >= 1) of the package at packagePath.
std::string volumeFileName(const std::string& packagePath, uint32_t k);

// The whole volume file of a part: its length field, then its bytes.
Bytes volumeFile(const Bytes& part);

#endif
