// The one program-wide record. Every module of the updater reads and writes
// its fields directly, on the one thread; there is no accessor layer.
// Fields start zero, null or empty except where noted; resetUpdaterState()
// establishes that start.
#ifndef ZORVAT_APP_STATE_H
#define ZORVAT_APP_STATE_H

#include <stdint.h>
#include "app/fileio.h"

enum { PATH_CAPACITY = 260 };      // every path buffer, terminator included
enum { IMAGE_LENGTH = 65536 };     // the program image; the package follows it
enum { STRING_TABLE_COUNT = 8 };
enum { START_PAGE_WIZARD = 0xFFFF };

// Exit codes of the process.
enum { EXIT_DONE = 0, EXIT_FAILED = -1 };

// Page results (the frame's button IDs).
enum { PAGE_NEXT = 1, PAGE_CANCEL = 2, PAGE_BACK = 1007 };

typedef void* WindowHandle;        // HWND in the Win32 build
typedef void* InstanceHandle;      // HINSTANCE
struct FileEntry;                  // a catalogue entry, read in place

struct UpdaterState {
    uint32_t imageLength;          // 65536: the package begins at this file offset
    InstanceHandle instance;

    // The eight path buffers, zero-filled at start-up; nothing writes more
    // than PATH_CAPACITY bytes into any of them.
    char modulePath[PATH_CAPACITY];   // file holding the package (own file or /S)
    char volumePath[PATH_CAPACITY];   // payload file now open
    char targetDir[PATH_CAPACITY];    // installed application's folder
    char destPath[PATH_CAPACITY];     // work path: installed file in work
    char sourcePath[PATH_CAPACITY];   // work path: where an old version is read
    char tempPath[PATH_CAPACITY];     // work path: temporary copy or output
    char alternateDir[PATH_CAPACITY]; // folder the user pointed to for moved files
    char messageArg[PATH_CAPACITY];   // replaces %s in messages

    uint32_t deleteSelf;           // /DEL: this is a temporary copy
    uint32_t displayFlags;         // bit 0: full-screen background with banner
    uint16_t startPage;            // START_PAGE_WIZARD or a single page to run
    int32_t currentPage;           // page now shown; -1 leaves the wizard
    int32_t pageResult;            // non-zero ends the running page's loop

    WindowHandle hwndBackground;
    WindowHandle hwndFrame;
    WindowHandle hwndPage;
    int32_t screenWidth, screenHeight;
    int32_t screenCenterX, screenCenterY;

    uint8_t* stringTables[STRING_TABLE_COUNT];  // unpacked tables; null = absent
    uint32_t stringTableSizes[STRING_TABLE_COUNT];
    uint8_t* dialogTemplates;                   // DialogTemplateSet blob
    uint32_t dialogTemplatesSize;

    uint8_t* catalogueData;        // unpacked catalogue body (owned)
    uint32_t catalogueSize;
    FileEntry* firstEntry;
    uint32_t entryCount;

    uint32_t regRoot;              // where the application records its folder
    char* regSubkey;
    char* regValue;
    char* iniFile;
    char* iniSection;
    char* iniKey;

    uint8_t* billboardImage;       // whole BMP file images
    uint32_t billboardImageSize;
    uint8_t* backgroundImage;
    uint32_t backgroundImageSize;
    char* bannerText;
    uint8_t* bannerFont;           // a 60-byte LOGFONTA

    uint32_t packageKey;           // mask of the catalogue's known-version checksums

    uint32_t payloadStart;         // file offset of part 0's length field
    uint32_t payloadLength;        // length of the part now open
    uint32_t volumeRemaining;      // bytes of that part after the read position
    uint32_t partOffset;           // payload offset of the part's first byte
    FileHandle volumeHandle;       // payload file now open; NO_FILE = none
    int32_t volumeNumber;          // 0 = the package file itself
    uint32_t payloadOpen;

    FileEntry* nextEntry;          // update engine cursor
    int32_t entriesDone;
    uint32_t totalKiB;
    uint32_t doneKiB;
    int32_t resultMessage;         // entry of table 6 the finish page reports
    int32_t scanResult;
    uint32_t readOnlyFound;
};

extern UpdaterState updater;

// Sets every field to its start value: zeros, empty path buffers,
// imageLength 65536, startPage 0xFFFF, volumeHandle NO_FILE.
void resetUpdaterState();

#endif
