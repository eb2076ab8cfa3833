#include "builder/defaulttexts.h"

std::vector<std::vector<std::string>> defaultTexts(const std::string& title) {
    std::vector<std::vector<std::string>> tables(8);
    // Pages 0-5: entry 0 the page title, entries 1-4 the texts of its
    // controls 1000-1003.
    tables[0] = {"Welcome", "Welcome to the update of " + title + ".",
                 "This wizard brings your installed copy up to date. Please close " + title +
                     " before you go on.",
                 "Click Next to continue, or Cancel to leave the wizard.", ""};
    tables[1] = {"Information", ""};   // an empty text leaves the page out
    tables[2] = {"Application folder", "The update will look for " + title + " in this folder:",
                 "If it is installed somewhere else, type the folder or click Browse.",
                 "Click Next to check the installed files.", ""};
    tables[3] = {"Ready to update", "The update is ready to bring " + title + " up to date.",
                 "Click Update to start. Please do not switch off your computer while it runs.", "", ""};
    tables[4] = {"Updating", "Please wait while the files of " + title + " are brought up to date.", "", "", ""};
    tables[5] = {"Finished", "The update has finished.", "%s",
                 "Your copy of " + title + " is up to date already: there was nothing to do.", ""};

    std::vector<std::string>& general = tables[6];
    general.assign(34, "");
    general[0] = title + " Update";
    general[1] = "Choose a folder";
    general[2] = "Folder name:";
    general[3] = "Drives:";
    general[4] = "Checking the installed files, please wait...";
    general[5] = "That folder cannot be opened. Please check its name.";
    general[6] = "None of the files to update was found in this folder. Please choose the folder where " + title +
                 " is installed.";
    general[7] = "Some of the files to update are read-only. Do you want to update them all the same?";
    general[8] = "The update cannot go on:";
    general[9] = "The file %s was not found. If you moved it, please show where it is now.";
    general[10] = "The file %s is not a version that this update knows, so it cannot be updated.";
    general[11] = "The read-only file %s cannot be made writable.";
    general[12] = "The shared file %s is in use. Please close all programs and try again.";
    general[13] = "There is not enough free disk space for the update. Please free some space and try again.";
    general[14] = "There is not enough memory for the update. Please close other programs and try again.";
    general[15] = "Do you want to stop the update?";
    general[16] = "Do you want to cancel the update?";
    general[17] = "The update was cancelled.";
    general[18] = "The file %s cannot be opened.";
    general[19] = "The temporary file %s cannot be created.";
    general[20] = "The file %s cannot be read.";
    general[21] = "The file %s cannot be written.";
    general[22] = "The disk is full. Please free some space and run the update again.";
    general[23] = "The new version of %s did not come out right, so it was not installed.";
    general[24] = "Some files were in use and could not be replaced. Please close all programs and run the "
                  "update again.";
    general[25] = "Updated";
    general[26] = "Deleted";
    general[27] = "Added";
    general[28] = "Could not delete";
    general[29] = "In use, not updated";
    general[30] = "Folder that holds the files:";
    general[31] = "The installed file %s is newer than the one in this update. Do you want to replace it?";
    general[32] = "Please insert disk %d of the update and click OK.";
    general[33] = "This update file is not complete. Please download it again.";
    // Button captions: Back, Next, Cancel, Next on the ready page, and the OK
    // and Cancel buttons of the folder dialogs (Cancel also on the progress page).
    tables[7] = {"< Back", "Next >", "Cancel", "Update", "OK", "Cancel"};
    return tables;
}
