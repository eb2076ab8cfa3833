// Native tests hand the updater's code paths in Windows form; the POSIX
// backend turns backslashes into slashes at each system call.
#ifndef ZORVAT_TESTS_WINDOWSPATHS_H
#define ZORVAT_TESTS_WINDOWSPATHS_H

#include <string>

inline std::string windowsForm(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

#endif
