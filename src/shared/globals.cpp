#include "shared/globals.h"

QString appFolder;
QString chosenFileName;
