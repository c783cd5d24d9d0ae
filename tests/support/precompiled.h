// Headers nearly every test includes, compiled once per build, and where the tests find
// the build's files.
#pragma once

#include "../../src/precompiled.h" // the program's own

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "testpaths.h"
