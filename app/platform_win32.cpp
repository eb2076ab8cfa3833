#include <windows.h>

#include "app/platform.h"

void* allocateTemplateBlock(uint32_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block) return 0;
    void* locked = GlobalLock(block);
    if (!locked) GlobalFree(block);
    return locked;
}

void releaseTemplateBlock(void* locked) {
    if (!locked) return;
    HGLOBAL block = GlobalHandle(locked);
    GlobalUnlock(block);
    GlobalFree(block);
}
