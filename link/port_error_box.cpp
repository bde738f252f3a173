// How the window program tells the operator that the port could not be set up: a modal box
// with caption "Error" and no owner. A program that defines its own showPortError (the
// console program) is linked without this file.
#include "link/link.h"

void showPortError(LPCSTR text) {
    GetLastError();  // fetched and dropped: the operator gets the one line below
    MessageBoxA(NULL, text, "Error", MB_OK);
}
