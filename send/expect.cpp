// The reader of the supplier's checksum list: one pass over the text, a line at a time, into
// a fixed list. Nothing is read from a file or printed here.
#include <ctype.h>
#include <string.h>
#include <strings.h>

#include "send/expect.h"

static const char *const ProblemTexts[] = {
    /* EXPECT_OK            */ "no problem",
    /* EXPECT_MALFORMED     */ "malformed line (not HASH  NAME or HASH *NAME)",
    /* EXPECT_LINE_TOO_LONG */ "line too long (a name of more than 260 characters)",
    /* EXPECT_NUL           */ "a NUL byte (not a text file: saved as UTF-16?)",
    /* EXPECT_TOO_MANY      */ "more than 64 names listed",
    /* EXPECT_CONFLICT      */ "listed before with another hash",
};
static_assert(EXPECT_NAME_MAX == 260 && EXPECT_MAX == 64, "the texts name the limits");

ExpectProblem parseExpectList(const char *text, DWORD size, ExpectList *list, int *line) {
    list->count = 0;
    list->clash = -1;
    *line = 0;
    DWORD at = size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;  // Notepad's mark
    while (at < size) {
        ++*line;
        const char *start = text + at;
        const char *newline = (const char *)memchr(start, '\n', size - at);
        DWORD length = newline ? (DWORD)(newline - start) : size - at;
        at += length + (newline != NULL);
        const void *nul = memchr(start, 0, length);
        length -= length > 0 && start[length - 1] == '\r';
        if (nul || length > (DWORD)EXPECT_LINE_MAX) {
            return nul ? EXPECT_NUL : EXPECT_LINE_TOO_LONG;
        }
        if (length == 0 || start[0] == '#') {
            continue;
        }
        ExpectedImage entry = {"", "", *line};
        BYTE escaped = start[0] == '\\';
        const char *hash = start + escaped, *end = start + length;
        if (end - hash < 64 + 3 || hash[64] != ' ' || (hash[65] != ' ' && hash[65] != '*') ||
            strspn(hash, "0123456789abcdefABCDEF") != 64) {
            return EXPECT_MALFORMED;
        }
        for (int i = 0; i < 64; i++) {
            entry.sha256[i] = (char)tolower((unsigned char)hash[i]);
        }
        int n = 0;
        for (const char *p = hash + 66; p < end; p++) {
            char c = *p;
            if (escaped && c == '\\') {  // sha256sum writes no other escape
                c = ++p < end ? *p : 0;
                c = c == '\\' ? '\\' : c == 'n' ? '\n' : c == 'r' ? '\r' : 0;
            }
            if (c == 0 || n == EXPECT_NAME_MAX) {
                return c == 0 ? EXPECT_MALFORMED : EXPECT_LINE_TOO_LONG;
            }
            entry.name[n++] = c;
        }
        // `sha256sum ./*.BIN` lists ./POS.BIN: the POS.BIN of the folder it was made in.
        size_t here = 0;
        while (entry.name[here] == '.' && entry.name[here + 1] == '/') {
            here += 2;
        }
        memmove(entry.name, entry.name + here, strlen(entry.name + here) + 1);
        if (entry.name[0] == 0) {  // "./" alone names no file
            return EXPECT_MALFORMED;
        }
        const ExpectedImage *known = findExpected(list, entry.name);
        if (known ? strcmp(known->sha256, entry.sha256) != 0 : list->count == EXPECT_MAX) {
            list->clash = known ? (int)(known - list->images) : -1;
            return known ? EXPECT_CONFLICT : EXPECT_TOO_MANY;
        }
        if (!known) {  // the same name with the same hash is kept once
            list->images[list->count++] = entry;
        }
    }
    *line = 0;
    return EXPECT_OK;
}

const ExpectedImage *findExpected(const ExpectList *list, const char *name) {
    for (int i = 0; i < list->count; i++) {
        if (strcasecmp(list->images[i].name, name) == 0) {
            return &list->images[i];
        }
    }
    return NULL;
}

const char *expectProblemText(ExpectProblem problem) {
    return ProblemTexts[problem];
}
