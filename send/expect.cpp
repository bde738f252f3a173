// The reader of the supplier's checksum list: one pass over the text, a line at a time, into
// a fixed list. Nothing is read from a file or printed here.
#include <string.h>

#include "send/expect.h"

namespace {

const char *const ProblemTexts[] = {
    /* EXPECT_OK            */ "no problem",
    /* EXPECT_MALFORMED     */ "malformed line (not HASH  NAME or HASH *NAME)",
    /* EXPECT_LINE_TOO_LONG */ "line too long (a name of more than 260 characters)",
    /* EXPECT_NUL           */ "a NUL byte (not a text file: saved as UTF-16?)",
    /* EXPECT_TOO_MANY      */ "more than 64 names listed",
    /* EXPECT_CONFLICT      */ "a name listed before with another hash",
};
static_assert(EXPECT_NAME_MAX == 260 && EXPECT_MAX == 64, "the texts name the limits");

char folded(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// One line without its line end into entry.
ExpectProblem parseLine(const char *at, DWORD length, ExpectedImage *entry) {
    BYTE escaped = at[0] == '\\';
    at += escaped;
    length -= escaped;
    if (length < 64 + 3 || at[64] != ' ' || (at[65] != ' ' && at[65] != '*')) {
        return EXPECT_MALFORMED;
    }
    for (int i = 0; i < 64; i++) {
        entry->sha256[i] = folded(at[i]);  // never 0: a line with a NUL never gets here
        if (!strchr("0123456789abcdef", entry->sha256[i])) {
            return EXPECT_MALFORMED;
        }
    }
    entry->sha256[64] = 0;
    int n = 0;
    for (DWORD i = 66; i < length; i++) {
        char c = at[i];
        if (escaped && c == '\\') {
            c = ++i < length ? at[i] : 0;
            c = c == '\\' ? '\\' : c == 'n' ? '\n' : c == 'r' ? '\r' : 0;
            if (c == 0) {
                return EXPECT_MALFORMED;  // sha256sum writes no other escape
            }
        }
        if (n == EXPECT_NAME_MAX) {
            return EXPECT_LINE_TOO_LONG;
        }
        entry->name[n++] = c;
    }
    entry->name[n] = 0;
    return EXPECT_OK;
}

}  // namespace

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
        at += length + (newline ? 1 : 0);
        if (memchr(start, 0, length)) {
            return EXPECT_NUL;
        }
        length -= length > 0 && start[length - 1] == '\r';
        if (length > (DWORD)EXPECT_LINE_MAX) {
            return EXPECT_LINE_TOO_LONG;
        }
        if (length == 0 || start[0] == '#') {
            continue;
        }
        ExpectedImage entry;
        ExpectProblem problem = parseLine(start, length, &entry);
        if (problem != EXPECT_OK) {
            return problem;
        }
        entry.line = *line;
        const ExpectedImage *known = findExpected(list, entry.name);
        if (known && strcmp(known->sha256, entry.sha256) != 0) {
            list->clash = (int)(known - list->images);
            return EXPECT_CONFLICT;
        }
        if (!known && list->count == EXPECT_MAX) {
            return EXPECT_TOO_MANY;
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
        const char *listed = list->images[i].name;
        for (int j = 0; folded(listed[j]) == folded(name[j]); j++) {
            if (listed[j] == 0) {
                return &list->images[i];
            }
        }
    }
    return NULL;
}

const char *expectProblemText(ExpectProblem problem) {
    return ProblemTexts[problem];
}
