#include <gtest/gtest.h>

#include <set>
#include <string>

#include "protocol/status.h"

// Every status code has its own name; a new code without a name shows up here.
TEST(Status, EveryCodeHasADistinctName)
{
    const unsigned int codes[] = {SE_OK,   SE_FAIL,   SE_NOMEM,  SE_PARAM, SE_NOTOPEN, SE_OPEN,
                                  SE_READ, SE_WRITE,  SE_EXEC,   SE_SYNTAX, SE_EMPTY,  SE_NODATA,
                                  SE_FORMAT, SE_SIZE, SE_MESSAGE, SE_NOCARD, SE_REPLY2, SE_REPLY3};
    std::set<std::string> names;
    for (unsigned int c : codes) {
        std::string n = se_name(c);
        EXPECT_NE(n, "SE_UNKNOWN") << c;
        names.insert(n);
    }
    EXPECT_EQ(names.size(), sizeof(codes) / sizeof(codes[0]));
    EXPECT_STREQ(se_name(SE_READ), "SE_READ");
    EXPECT_STREQ(se_name(SE_REPLY3), "SE_REPLY3");
    EXPECT_STREQ(se_name(5), "SE_UNKNOWN");
}

TEST(Status, NumbersAreFixed)
{
    EXPECT_EQ(SE_READ, 9u);
    EXPECT_EQ(SE_SYNTAX, 15u);
    EXPECT_EQ(SE_SIZE, 20u);
    EXPECT_EQ(SE_MESSAGE, 23u);
    EXPECT_EQ(SE_REPLY3, 27u);
}
