#pragma once

#include <QString>

// The two program-wide values.
// appFolder: the folder the program was started from, set once at start-up; the file
// dialogs start there and the network help document is found there.
extern QString appFolder;
// chosenFileName: the file name returned by the last file dialog of the file buttons.
extern QString chosenFileName;
