// Loading the package appended to the program image (layout in format.h).
//
// loadPackage walks the records once, from offset imageLength to the payload
// record, into the UpdaterState. It returns true when every record was read
// and the package is complete: the payload's first part ends exactly at the
// end of the file, or a start-page record was read. An incomplete package
// shows table 6 entry 33 (when not empty) and returns false; a damaged one
// (unreadable, cut inside a record, a body whose size is wrong for its kind)
// returns false without a message.
#ifndef ZORVAT_PACKAGE_LOADER_H
#define ZORVAT_PACKAGE_LOADER_H

#include <stdint.h>
#include "app/fileio.h"

struct RecordHeader {
    uint16_t tag;
    uint8_t flags;
    uint32_t length;
};

enum { BODY_OK = 0, BODY_READ_FAILED = 1, BODY_NO_MEMORY = 5 };

bool loadPackage();

// Reads the body of the record whose header was just read into a new buffer
// (one zero byte is kept behind it, so a text body is always terminated);
// *size receives the body's size without that byte. Returns BODY_OK,
// BODY_READ_FAILED or BODY_NO_MEMORY; on failure *buffer is null. A
// compressed body that does not decode cleanly still counts as read: the
// rest of its buffer stays zero.
int readRecordBody(FileHandle file, const RecordHeader& header, uint8_t** buffer, uint32_t* size);

// Frees every body the loader kept and nulls its pointer.
void releasePackage();

#endif
