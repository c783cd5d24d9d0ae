// Headers nearly every file of the program includes, compiled once per build.
#pragma once

#include <QByteArray>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
