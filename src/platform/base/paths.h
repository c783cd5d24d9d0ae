#pragma once

#include <QString>

// Where the program's Windows-style names lie on this machine.
//
// On Linux the program lives in a small Windows-style world of its own under
// QUORLANE_HOME (default $XDG_DATA_HOME/quorlane, else ~/.local/share/quorlane):
// - a drive path X:\a\b.txt is QUORLANE_HOME/drive_x/a/b.txt (drive letter in lower
//   case, backslashes as separators); the root folder of drive C always exists, so
//   drive_c is created when it is missing;
// - any other path has its backslashes read as separators;
// - serial port N is QUORLANE_HOME/dosdevices/comN when that entry exists (normally a
//   link to /dev/ttyUSB0, /dev/ttyACM0, a pseudo-terminal ...; a link whose target is
//   gone still names the port, which then cannot be opened), else /dev/ttyS<N-1>.
// On Windows every name is used as written.
namespace paths {

// The settings the home is taken from, in this order: QUORLANE_HOME itself, else
// $XDG_DATA_HOME/quorlane, else $HOME/.local/share/quorlane (an empty one counts as unset).
inline constexpr const char* HomeSettings[] = {"QUORLANE_HOME", "XDG_DATA_HOME", "HOME"};
// Empty when none of them is set: there is then no place for the drives and the port
// links, and none is made (the root folder, where Qt would put a missing HOME, is no
// stand-in). A drive path then has no native path either.
QString quorlaneHome();
// Where the home was looked for, to say so when there is none.
QString homeMissing();
QString nativePath(const QString& programPath);
QString comDevicePath(int port);
QString dosdevicesFolder();
// The folder of the running executable.
QString programFolder();

} // namespace paths
