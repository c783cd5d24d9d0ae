#include "app/globals.h"

QString appFolder;
QString chosenFileName;
