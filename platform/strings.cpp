// The stand-in's LoadStringA over the table the build makes from resources/strings.rc, and
// wsprintfA with the Windows subset of conversions and its 1024-character limit.
#include <stdarg.h>
#include <string.h>

#include "platform/standin_internal.h"
#include "platform/standin_strings.h"

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    if (buffer == NULL || bufferMax <= 0) {
        return 0;  // the read-only pointer form (bufferMax 0) is not offered
    }
    buffer[0] = 0;
    if (instance != NULL && instance != GetModuleHandleA(NULL)) {
        SetLastError(ERROR_INVALID_HANDLE);  // no resources in any other module
        return 0;
    }
    for (int i = 0; i < StandinStringCount; i++) {
        if (StandinStrings[i].id != id) {
            continue;
        }
        // Cut to fit, always terminated: at most bufferMax - 1 characters.
        int length = (int)strlen(StandinStrings[i].text);
        if (length > bufferMax - 1) {
            length = bufferMax - 1;
        }
        memcpy(buffer, StandinStrings[i].text, (size_t)length);
        buffer[length] = 0;
        return length;
    }
    SetLastError(1814u);  // ERROR_RESOURCE_NAME_NOT_FOUND
    return 0;
}

// wsprintfA writes at most this many characters, the terminator included.
static const int WSPRINTF_LIMIT = 1024;

struct Output {
    char *buffer;
    int length;
    BYTE cut;  // more was to come than fits
};

static void put(Output *out, char c) {
    if (out->length < WSPRINTF_LIMIT - 1) {
        out->buffer[out->length++] = c;
    } else {
        out->cut = 1;
    }
}

static void putPadded(Output *out, const char *text, int length, int width, BYTE left, char pad) {
    int fill = width > length ? width - length : 0;
    if (!left) {
        for (int i = 0; i < fill; i++) {
            put(out, pad);
        }
    }
    for (int i = 0; i < length; i++) {
        put(out, text[i]);
    }
    if (left) {
        for (int i = 0; i < fill; i++) {
            put(out, ' ');
        }
    }
}

// Formats one number: sign, "0x" prefix, zero padding from the precision or the '0' flag.
static void putNumber(Output *out, unsigned long value, BYTE negative, unsigned base, BYTE upper,
                      BYTE alternate, int width, int precision, BYTE left, BYTE zero) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    int count = 0;
    do {
        reversed[count++] = digits[value % base];
        value /= base;
    } while (value != 0 && count < (int)sizeof reversed);
    char prefix[3];
    int prefixLength = 0;
    if (negative) {
        prefix[prefixLength++] = '-';
    } else if (alternate && base == 16) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }
    int zeros = precision > count ? precision - count : 0;
    int total = prefixLength + zeros + count;
    if (zero && !left && precision < 0 && width > total) {
        zeros += width - total;  // '0' pads between the sign and the digits
        total = width;
    }
    if (!left) {
        for (int i = total; i < width; i++) {
            put(out, ' ');
        }
    }
    for (int i = 0; i < prefixLength; i++) {
        put(out, prefix[i]);
    }
    for (int i = 0; i < zeros; i++) {
        put(out, '0');
    }
    while (count > 0) {
        put(out, reversed[--count]);
    }
    if (left) {
        for (int i = total; i < width; i++) {
            put(out, ' ');
        }
    }
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    Output out = {buffer, 0, 0};
    va_list args;
    va_start(args, format);
    for (const char *at = format; *at != 0; at++) {
        if (*at != '%') {
            put(&out, *at);
            continue;
        }
        at++;
        if (*at == 0) {
            break;
        }
        BYTE left = 0, zero = 0, alternate = 0;
        for (;; at++) {
            if (*at == '-') {
                left = 1;
            } else if (*at == '0') {
                zero = 1;
            } else if (*at == '#') {
                alternate = 1;
            } else {
                break;
            }
        }
        int width = 0;
        while (*at >= '0' && *at <= '9') {
            width = width * 10 + (*at++ - '0');
        }
        int precision = -1;
        if (*at == '.') {
            at++;
            precision = 0;
            while (*at >= '0' && *at <= '9') {
                precision = precision * 10 + (*at++ - '0');
            }
        }
        BYTE isLong = 0;
        if (*at == 'l') {
            isLong = 1;
            at++;
        } else if (*at == 'h') {
            at++;
        }
        switch (*at) {
            case 'c': {
                char c = (char)va_arg(args, int);
                putPadded(&out, &c, 1, width, left, zero ? '0' : ' ');
                break;
            }
            case 's': {
                const char *text = va_arg(args, const char *);
                if (text == NULL) {
                    text = "(null)";
                }
                int length = (int)strlen(text);
                if (precision >= 0 && length > precision) {
                    length = precision;
                }
                putPadded(&out, text, length, width, left, zero ? '0' : ' ');
                break;
            }
            case 'd':
            case 'i': {
                long value = isLong ? va_arg(args, long) : (long)va_arg(args, int);
                unsigned long magnitude =
                    value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
                putNumber(&out, magnitude, value < 0, 10, 0, 0, width, precision, left, zero);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                unsigned long value = isLong ? va_arg(args, unsigned long)
                                             : (unsigned long)va_arg(args, unsigned int);
                unsigned base = *at == 'u' ? 10 : 16;
                putNumber(&out, value, 0, base, *at == 'X', alternate, width, precision, left,
                          zero);
                break;
            }
            case 0:
                at--;  // a format cut short after its flags: stop at the end
                break;
            default:
                put(&out, *at);  // "%%" and anything unknown: the character itself
                break;
        }
    }
    va_end(args);
    buffer[out.length] = 0;
    // Cut output holds 1023 characters but counts as the whole 1024, as Wine counts it.
    return out.cut ? WSPRINTF_LIMIT : out.length;
}
