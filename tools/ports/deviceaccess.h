#pragma once

#include "platform/base/portlock.h"

#include <QString>

// Whether the current user may open a serial device, and if not, what to do about it.

// What is known about one device node and the user looking at it.
struct AccessFacts {
    bool exists = false;
    bool characterDevice = false;
    bool canOpen = false; // access(R_OK | W_OK) and an open as the program does succeeded
    int error = 0;        // errno of the failed stat(), access() or open()
    // The open as the program does it (its descriptor already closed again): whether
    // another program keeps the device busy.
    portlock::DeviceClaim claim;
    unsigned mode = 0;    // permission bits of the node
    QString groupName;    // group owning the node (its number when it has no name)
    bool groupGrantsReadWrite = false;
    bool inGroupNow = false;    // this process carries the group
    bool listedInGroup = false; // the group database lists the user (a later login has it)
    QString userName;
};

// Looks at `path` (following links) as the current process, and opens a serial device for
// a moment the way the program does, to see whether it is busy.
AccessFacts examineDevice(const QString& path);

// One line on the state of the device: "ready", "missing: ...", "no access: ...",
// "cannot be opened: ...", "busy: ...".
QString accessSummary(const AccessFacts& facts);

// What the user should do when the device exists but cannot be opened; empty when
// there is nothing to do. Several lines, ready to print.
QString permissionAdvice(const AccessFacts& facts);
