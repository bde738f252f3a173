// The stand-in's LoadStringA over the table the build makes from resources/strings.rc and
// makes.def, and wsprintfA on vsnprintf: the program formats only conversions both agree on
// (%d, %5d, %s, %c), and wsprintfA writes at most 1024 characters, the terminator included.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/standin_internal.h"
#include "platform/standin_strings.h"

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    (void)instance;  // the one module there is
    buffer[0] = 0;
    for (int i = 0; i < StandinStringCount; i++) {
        if (StandinStrings[i].id == id) {
            // Cut to fit, always terminated: at most bufferMax - 1 characters.
            snprintf(buffer, (size_t)bufferMax, "%s", StandinStrings[i].text);
            return (int)strlen(buffer);
        }
    }
    return 0;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, 1024, format, args);
    va_end(args);
    return length < 1024 ? length : 1024;  // cut output counts as 1024, as Wine counts it
}
