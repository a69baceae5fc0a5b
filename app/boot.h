// l2ptd's two boots: on the embedded simulated chassis, or on a chassis daemon.
#pragma once

inline constexpr int kBootExitOk = 0;
inline constexpr int kBootExitUsage = 2;

// Installs the net backend from the command line (--chassis RUNDIR); exits on a bad one.
int bootNet(int argc, char** argv);
