// libFuzzer target: the fuzzer's input is the supplier's checksum list. The target checks
// that the reader ends on every text with a problem on one of the text's lines or with
// entries that are well formed, each found again by its name, and that the list written back
// from them as sha256sum writes one reads back to the same entries.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "send/expect.h"

namespace {

ExpectList list, again;

void check(bool holds, const char *what) {
    if (!holds) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

// As sha256sum writes a line: escaped when the name holds '\', a line feed or a return.
std::string lineOf(const ExpectedImage &image) {
    std::string name;
    for (const char *c = image.name; *c; c++) {
        name += *c == '\\' ? "\\\\" : *c == '\n' ? "\\n" : *c == '\r' ? "\\r" : std::string(1, *c);
    }
    bool escaped = name != image.name;
    return (escaped ? "\\" : "") + std::string(image.sha256) + "  " + name + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = (const char *)data;
    int lines = 0, line = -1;
    for (size_t i = 0; i < size; i++) {
        lines += text[i] == '\n' || i + 1 == size;
    }
    ExpectProblem problem = parseExpectList(text, (DWORD)size, &list, &line);
    check(problem >= EXPECT_OK && problem <= EXPECT_CONFLICT && expectProblemText(problem),
          "a known problem");
    check(problem == EXPECT_OK ? line == 0 : line >= 1 && line <= lines, "the problem's line");
    check(problem != EXPECT_CONFLICT || (list.clash >= 0 && list.clash < list.count),
          "the entry a conflict names");
    check(list.count >= 0 && list.count <= EXPECT_MAX, "the count");
    std::string written;
    for (int i = 0; i < list.count; i++) {
        const ExpectedImage &image = list.images[i];
        check(strlen(image.sha256) == 64 && strspn(image.sha256, "0123456789abcdef") == 64,
              "64 lower-case hex digits");
        check(image.name[0] && strlen(image.name) <= (size_t)EXPECT_NAME_MAX, "the name");
        check(image.line >= (i ? list.images[i - 1].line + 1 : 1) && image.line <= lines,
              "the entry's line");
        check(findExpected(&list, image.name) == &image, "the entry found by its name");
        written += lineOf(image);
    }
    if (problem != EXPECT_OK) {
        return 0;
    }
    check(parseExpectList(written.data(), (DWORD)written.size(), &again, &line) == EXPECT_OK &&
              again.count == list.count,
          "the list written back read again");
    for (int i = 0; i < list.count; i++) {
        check(strcmp(again.images[i].name, list.images[i].name) == 0 &&
                  strcmp(again.images[i].sha256, list.images[i].sha256) == 0,
              "the same entries read back");
    }
    return 0;
}
