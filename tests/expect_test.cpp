// The supplier's list read from texts as sha256sum wrote them for real files (POS.BIN holding
// "abc", an empty PC_CC.BIN, "p\q" and "b" on two lines): the entries it gives, and each problem
// with its line.
#include <gtest/gtest.h>

#include <string>

#include "send/expect.h"

#define ABC "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
#define NIL "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"

TEST(ExpectList, ReadsListsAndNamesTheLineOfEachProblem) {
    // The limits as the messages promise them: names of up to 260 characters, 64 of them. A
    // listed name's longest line is a backslash, the hash, two spaces and each character
    // escaped (1 + 64 + 2 + 2 * 260 = 587); a comment line one longer is too long.
    std::string many, name(260, 'n'), escaped;
    for (int i = 0; i < 260; i++) {
        escaped += "\\\\";
    }
    for (int i = 0; i <= 64; i++) {
        many += ABC "  F" + std::to_string(i) + "\n";
    }
    const struct {
        std::string text;
        ExpectProblem problem;
        int line, count;
    } rows[] = {
        {"\xEF\xBB\xBF" NIL " *PC_CC.BIN\r\n\r\n# x\r\n\\" ABC "  p\\\\q\\nb", EXPECT_OK, 0, 2},
        {ABC "  POS.BIN\n" ABC "  pos.bin\n" ABC "  " + name + "\n", EXPECT_OK, 0, 2},
        {ABC "  ./POS.BIN\n" ABC "  POS.BIN\n", EXPECT_OK, 0, 1},  // the same file
        {ABC "  POS.BIN\n" ABC "  " + name + "x\n", EXPECT_LINE_TOO_LONG, 2, 1},
        {ABC "  POS.BIN\n" NIL "  pos.bin\n", EXPECT_CONFLICT, 2, 1},
        {"\\" ABC "  " + escaped + "\n", EXPECT_OK, 0, 1},
        {"\n#" + std::string(587, '#'), EXPECT_LINE_TOO_LONG, 2, 0},
        {ABC "  POS\n" + std::string(1, '\0'), EXPECT_NUL, 2, 1},
        {many, EXPECT_TOO_MANY, 65, 64},
        {ABC " POS.BIN\n", EXPECT_MALFORMED, 1, 0},         // one space
        {ABC "  \n", EXPECT_MALFORMED, 1, 0},               // no name
        {ABC "  ././\n", EXPECT_MALFORMED, 1, 0},           // no name but the folder
        {"\\" ABC "  p\\q.bin\n", EXPECT_MALFORMED, 1, 0},  // no such escape
        {ABC "\n", EXPECT_MALFORMED, 1, 0},
    };
    static ExpectList list;
    for (const auto &row : rows) {
        int line = -1;
        EXPECT_EQ(row.problem,
                  parseExpectList(row.text.data(), (DWORD)row.text.size(), &list, &line));
        EXPECT_EQ(row.line, line) << row.text;
        EXPECT_EQ(row.count, list.count) << row.text;
    }
    int line;
    parseExpectList(rows[0].text.data(), (DWORD)rows[0].text.size(), &list, &line);
    const ExpectedImage *pc = findExpected(&list, "pc_cc.bin"),
                        *pq = findExpected(&list, "P\\Q\nB");
    ASSERT_TRUE(pc && pq);
    EXPECT_STREQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", pc->sha256);
    EXPECT_EQ(4, pq->line);
    EXPECT_EQ(NULL, findExpected(&list, "PC_CC.BI"));
    EXPECT_EQ(NULL, findExpected(&list, "PC_CC.BINX"));
}
