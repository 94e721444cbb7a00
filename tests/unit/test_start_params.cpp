#include <gtest/gtest.h>

#include <string>

#include "launcher/StartParams.h"

namespace {

struct SplitCase {
    const char* text;
    const char* f[6];
};

}  // namespace

TEST(StartParams, SplitsLikeStrtok) {
    const SplitCase cases[] = {
        {"a*b*c*d*e*0", {"a", "b", "c", "d", "e", "0"}},
        {"", {"", "", "", "", "", ""}},
        {"a**b", {"a", "b", "", "", "", ""}},              // a run of separators is one
        {"*a*b", {"a", "b", "", "", "", ""}},              // a leading separator is skipped
        {"a*b*c*d*e*0*", {"a", "b", "c", "d", "e", "0"}},  // a trailing one too
        {"a*b*c*d*e*0*seven", {"a", "b", "c", "d", "e", "0"}},
        {"a*b*c", {"a", "b", "c", "", "", ""}},
        {"\"a*b*c*d*e*0\"", {"\"a", "b", "c", "d", "e", ""}},  // quotes stay; "0\"" is no flag
        {"***", {"", "", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        StartParams p;
        SplitStartParams(c.text, p);
        const char* got[6] = {p.field1, p.field2, p.field3, p.field4, p.field5, p.field6};
        for (int i = 0; i < 6; ++i) EXPECT_STREQ(got[i], c.f[i]) << "text '" << c.text << "' field " << i + 1;
    }
}

TEST(StartParams, OverlongInputsAreCutNeverOverrun) {
    std::string longField(400, 'x');
    std::string url(300, 'u');
    std::string text = longField + "*" + longField + "*" + longField + "*" + longField + "*" + url + "*00";
    StartParams p;
    SplitStartParams(text.c_str(), p);
    EXPECT_EQ(std::string(p.field1), std::string(259, 'x'));
    EXPECT_EQ(std::string(p.field4), std::string(259, 'x'));
    EXPECT_EQ(std::string(p.field5), std::string(255, 'u'));
    EXPECT_STREQ(p.field6, "");  // "00" is not exactly "0": never cut down to "0"

    // A start string over 2047 characters is cut before splitting.
    std::string huge = std::string(2100, 'y') + "*b*c*d*e*0";
    SplitStartParams(huge.c_str(), p);
    EXPECT_EQ(std::string(p.field1), std::string(259, 'y'));
    EXPECT_STREQ(p.field2, "");
    EXPECT_STREQ(p.field6, "");

    // Fields that end just inside the 2047-character working buffer still count.
    std::string edge = std::string(2040, 'z') + "*b*c*0";
    SplitStartParams(edge.c_str(), p);
    EXPECT_STREQ(p.field2, "b");
    EXPECT_STREQ(p.field4, "0");
}

TEST(StartParams, CutsAtCharacterBoundaryOfTheCodePage) {
    // "가" is two bytes in code page 949: 259 bytes hold 129 of them, never half of one.
    std::string korean;
    for (int i = 0; i < 200; ++i) korean += "가";
    ASSERT_EQ(korean.size(), 400u);
    char out[260];
    EXPECT_FALSE(CopyTruncated(out, sizeof(out), korean.c_str()));
    EXPECT_EQ(std::string(out).size(), 258u);
    EXPECT_EQ(std::string(out), korean.substr(0, 258));

    EXPECT_TRUE(CopyTruncated(out, sizeof(out), "short"));
    EXPECT_STREQ(out, "short");
}
