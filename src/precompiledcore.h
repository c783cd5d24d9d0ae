// Headers nearly every file of the ground floor's Qt Core libraries includes (base, files,
// link), compiled once per build. precompiled.h adds the Gui and Widgets headers.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
