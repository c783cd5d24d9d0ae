#pragma once

// Process-wide settings made once before the window system starts: a full disk or a
// file-size limit, and a peer that goes away, must show up as errors of the operation
// at hand instead of signals that end the program.
void prepareProcess();
