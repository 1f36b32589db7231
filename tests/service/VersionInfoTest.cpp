// Version strings read from this test executable's own resource (VersionInfoTest.rc).
#include "service/VersionInfo.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

namespace {

char* Duplicate(const char* i_pc_Text) {
    char* l_pc_Copy = static_cast<char*>(malloc(strlen(i_pc_Text) + 1));
    strcpy(l_pc_Copy, i_pc_Text);
    return l_pc_Copy;
}

TEST(VersionInfoTest, LastTranslationCarryingTheValueWinsAndCommasReadAsPoints) {
    char* l_pc_Version = Serv_Tulvo_GetVersionInfoString("FileVersion", nullptr);
    ASSERT_NE(l_pc_Version, nullptr);
    EXPECT_STREQ(l_pc_Version, "3. 1");
    free(l_pc_Version);

    char* l_pc_Comments = Serv_Tulvo_GetVersionInfoString("Comments", nullptr);
    ASSERT_NE(l_pc_Comments, nullptr);
    EXPECT_STREQ(l_pc_Comments, "first. only");
    free(l_pc_Comments);
}

TEST(VersionInfoTest, HeldTextIsReplacedOrKept) {
    char* l_pc_Held = Duplicate("old");
    // A value that no translation carries leaves the caller's text as it was.
    char* l_pc_Result = Serv_Tulvo_GetVersionInfoString("LegalTrademarks", l_pc_Held);
    EXPECT_EQ(l_pc_Result, l_pc_Held);
    EXPECT_STREQ(l_pc_Result, "old");
    // A value that exists replaces it (the old text is released).
    l_pc_Result = Serv_Tulvo_GetVersionInfoString("FileVersion", l_pc_Result);
    EXPECT_STREQ(l_pc_Result, "3. 1");
    free(l_pc_Result);
    EXPECT_EQ(Serv_Tulvo_GetVersionInfoString(nullptr, nullptr), nullptr);
}

} // namespace
