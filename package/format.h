// The package container: tagged records appended at file offset 65536 of
// the update executable. Shared by the updater's loader and the builder's
// writer, so both always agree on tags and constants.
//
// RecordHeader, 8 bytes, little-endian, ahead of every body:
//   u16 tag | u8 flags (bit 0: body compressed) | u8 reserved (0) | u32 length
// The next record begins right after the body, whatever the loader read.
//
// Body forms:
//   plain value    u32 or u16 at the start of the body; flags not consulted
//   record body    flags bit 0 clear: the length bytes themselves;
//                  set: u32 unpacked size, then one compressed stream
//   string tables  u16 count, then count x (u32 unpacked size, stream);
//                  each table compressed by itself, flags not consulted
//   payload        u32 part length, then that many payload bytes, which must
//                  end exactly at the end of the package file
// TAG_PAYLOAD is the last record: the walk ends there.
#ifndef ZORVAT_PACKAGE_FORMAT_H
#define ZORVAT_PACKAGE_FORMAT_H

#include <stdint.h>

enum RecordTag {
    TAG_DISPLAY_FLAGS = 0x1234,
    TAG_DEFAULT_DIR = 0x1235,
    TAG_BILLBOARD = 0x1236,
    TAG_BACKGROUND = 0x1237,
    TAG_BANNER_TEXT = 0x1238,
    TAG_STRING_TABLES = 0x1239,
    TAG_REG_ROOT = 0x123B,
    TAG_REG_SUBKEY = 0x123C,
    TAG_REG_VALUE = 0x123D,
    TAG_INI_FILE = 0x123E,
    TAG_INI_SECTION = 0x123F,
    TAG_INI_KEY = 0x1240,
    TAG_DIALOGS = 0x1241,
    TAG_CATALOGUE = 0x1242,
    TAG_START_PAGE = 0x1243,
    TAG_BANNER_FONT = 0x1245,
    TAG_PAYLOAD = 0x7F7F,
};

enum { RECORD_HEADER_SIZE = 8, RECORD_COMPRESSED = 0x01 };

// Mask of the catalogue's known-version checksums. A constant rather than a
// digest of the image: signing the executable rewrites bytes of its PE
// header, and a signed update must still recognise the installed files.
const uint32_t PACKAGE_KEY = 0x7A6F7276;

// Fixed sizes the loader insists on.
enum { LOGFONT_SIZE = 60 };
enum { TEMPLATE_BLOCK_SIZE = 16384 };   // every dialog template block
enum { TEMPLATE_COUNT = 10 };           // template numbers 0..9

#endif
