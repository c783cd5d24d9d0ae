#pragma once

// Assistive technology and the program's windows.
//
// A screen reader finds the window of the focused control by walking up from the control
// to the first object with a window role, and follows the focus only while that window is
// active. Qt gives a top-level plain widget (every window of this program) no window role
// (it is a generic "client" object, a filler on AT-SPI), and a plain QFrame inside a window
// the role of a window frame: so the container that holds a window's controls was taken
// for their window, one that is never active, and focus moves inside it went unspoken.
//
// With the factory installed, a top-level plain widget or frame is a window (or a dialog,
// by its window type), named by its title and active while the window system has it
// active, and a plain frame inside a window is a panel that groups its controls. Windows
// Qt already describes (message boxes, dialogs) and everything else keep Qt's objects.
namespace windowaccess {

// Makes Qt build the accessible objects described above, ahead of its own. Call once the
// application exists and before the first window is made (the window-making functions of
// look do); safe to call again.
void install();

} // namespace windowaccess
