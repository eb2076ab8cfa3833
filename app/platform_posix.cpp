#include "app/platform.h"

#include <stdlib.h>

void* allocateTemplateBlock(uint32_t size) { return calloc(size, 1); }

void releaseTemplateBlock(void* block) { free(block); }
