#include "form/globals.h"

QString appFolder;
QString chosenFileName;
