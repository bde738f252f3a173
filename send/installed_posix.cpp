// Where an installed Marvane keeps the images: only the Windows installer puts them in a
// folder of their own, so off Windows a missing image is never pointed elsewhere.
#include "send/send.h"

BYTE installedImagesFolder(const char *, char *, int) {
    return 0;
}
