// The stand-in's COM ports on Linux: COMn is the tty that $MARVANE_COMn names, else
// /dev/ttyS<n-1>. The console program names that device in its messages and may point a
// port at another one. Linux only.
#pragma once

// The device COMn opens, into out.
void standinComPath(int comNumber, char *out, int size);
// From now on COMn opens `path`.
void standinSetComPath(int comNumber, const char *path);
