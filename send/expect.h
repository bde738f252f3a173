// The supplier's list of images: a checksum list as sha256sum writes it, read into the names
// it lists and their hashes. Only the text is parsed here; reading the file, matching the
// run's images against it and saying what a problem means to the run are the caller's.
#pragma once

#include "platform/winapi.h"

const int EXPECT_NAME_MAX = 260;  // no image's name is longer
// A line without its end: an escape mark, the hash, its separator, the name all escaped.
const int EXPECT_LINE_MAX = 1 + 64 + 2 + 2 * EXPECT_NAME_MAX;
const int EXPECT_MAX = 64;  // entries of one list

struct ExpectedImage {
    char name[EXPECT_NAME_MAX + 1];
    char sha256[65];  // 64 hex digits, lower case
    int line;         // 1-based
};
struct ExpectList {
    ExpectedImage images[EXPECT_MAX];
    int count;
    int clash;  // EXPECT_CONFLICT: the index of the entry listed first under that name
};

enum ExpectProblem {
    EXPECT_OK,
    EXPECT_MALFORMED,
    EXPECT_LINE_TOO_LONG,
    EXPECT_NUL,
    EXPECT_TOO_MANY,
    EXPECT_CONFLICT,  // a name listed again with another hash (the same hash is fine)
};

// Lines "HASH  NAME" or "HASH *NAME", hex of either case, LF or CRLF, the last with or without
// its end; blank lines, '#' comments and a leading UTF-8 byte order mark passed over, as
// sha256sum -c does; a leading "./" left out; a name escaped ("\\", "\n", "\r") on a line opening
// with '\'. On a problem, *line is its 1-based line (0 when none) and the list holds the entries
// before it.
ExpectProblem parseExpectList(const char *text, DWORD size, ExpectList *list, int *line);
// The entry for a name, compared as Windows compares file names (ASCII case folding), or NULL.
const ExpectedImage *findExpected(const ExpectList *list, const char *name);
const char *expectProblemText(ExpectProblem problem);  // for "FILE line N: ..."
