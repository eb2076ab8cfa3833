#include "app/state.h"

UpdaterState updater;

void resetUpdaterState() {
    fillBytes(&updater, 0, sizeof updater);
    updater.imageLength = IMAGE_LENGTH;
    updater.startPage = START_PAGE_WIZARD;
    updater.volumeHandle = NO_FILE;
}
