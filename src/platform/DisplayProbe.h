#pragma once
#include <QString>

// Whether the display that the environment names can be reached: the Wayland socket of
// WAYLAND_DISPLAY, or the X server of DISPLAY (its local socket, or TCP port 6000 + n on another
// host). Qt ends the process when its platform plugin cannot connect, so a program that can also
// run windowless asks first. A platform named in QT_QPA_PLATFORM is taken as reachable (the
// offscreen one needs no server). False with the reason in why when nothing answers.
bool DisplayReachable(QString* why);
