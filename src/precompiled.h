// Headers nearly every file of the program includes, compiled once per build.
#pragma once

#include "precompiledcore.h"

#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
