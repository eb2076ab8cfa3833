// Locating the installed application: turns the package's registry value,
// INI entry or default folder into targetDir.
//
// With a registry subkey: the value (or the key's default value) is read;
// if the key cannot be opened, the default folder's macro is expanded and
// the INI settings are ignored. Else with an INI file, section and key: the
// key's text, the default folder when it is absent. A registry or INI text
// is then shortened one character at a time until it names an existing
// folder, which is rewritten with its stored names. Without either source,
// a folder macro at the start of the default folder is expanded:
//   #Windows#        the Windows folder
//   #System#         the system folder
//   #Program Files#  HKLM\Software\Microsoft\Windows\CurrentVersion, ProgramFilesDir
//   #anything else#  nothing
// (letters in any case; one backslash after the macro is dropped, and no
// folder test follows).
#ifndef ZORVAT_ENGINE_LOCATE_H
#define ZORVAT_ENGINE_LOCATE_H

void locateInstalledApplication();

// Rewrites an existing folder path in place, component by component, with
// the names the file system stores (long names, stored case); leaves the
// path unchanged when any component cannot be found. The result does not
// end with a backslash, except a drive root.
void canonicalizeFolder(char* path);

#endif
