// The command line: /S with its path forms and /DEL.
#include <gtest/gtest.h>

#include <cstring>

#include "app/commandline.h"
#include "app/state.h"

namespace {

TEST(CommandLine, SwitchForms) {
    struct Case {
        const char* line;
        const char* modulePath;   // what /S leaves; "own" = untouched
        bool deleteSelf;
    } cases[] = {
        {"", "own", false},
        {"/S C:\\upd\\pkg.exe", "C:\\upd\\pkg.exe", false},
        {"/SC:\\upd\\pkg.exe", "C:\\upd\\pkg.exe", false},
        {"-s   \"C:\\My Files\\pkg.exe\" -del", "C:\\My Files\\pkg.exe", true},
        {"/S\"C:\\a b\\p.exe\"/DEL", "C:\\a b\\p.exe", true},
        {"  /S \"C:\\x.exe\" /DEL", "C:\\x.exe", true},
        {"/DELETE", "own", true},
        {"/De", "own", false},
        {"/X /DEL", "own", true},
        {"/Xyz-S C:\\x.exe", "C:\\x.exe", false},
        {"word /S C:\\x.exe /DEL", "own", false},
        {"/S C:\\my-app/v2\\x.exe", "C:\\my-app/v2\\x.exe", false},
        {"/S", "", false},
        {"/S \"unterminated path", "unterminated path", false},
        {"/", "own", false},
        {"\t/DEL", "own", false},   // a tab is not a blank
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        resetUpdaterState();
        copyText(updater.modulePath, "own", PATH_CAPACITY);
        parseCommandLine(c.line);
        EXPECT_STREQ(updater.modulePath, c.modulePath);
        EXPECT_EQ(updater.deleteSelf != 0, c.deleteSelf);
    }
    resetUpdaterState();
    parseCommandLine(nullptr);
    EXPECT_EQ(updater.deleteSelf, 0u);
}

TEST(CommandLine, LongQuotedPathIsCutAndPassedOver) {
    std::string path(300, 'p');
    std::string line = "/S \"" + path + "\" /DEL";
    resetUpdaterState();
    parseCommandLine(line.c_str());
    EXPECT_EQ(std::string(updater.modulePath), path.substr(0, 259));
    EXPECT_EQ(updater.deleteSelf, 1u);
}

TEST(CommandLine, ReadArgumentStopsBehindQuoteOrAtBlank) {
    char out[8];
    const char* quoted = " \"a b\" rest";
    EXPECT_EQ(readArgument(quoted, out, sizeof out), quoted + 6);
    EXPECT_STREQ(out, "a b");
    const char* plain = "abc def";
    EXPECT_EQ(readArgument(plain, out, sizeof out), plain + 3);
    EXPECT_STREQ(out, "abc");
    const char* longer = "0123456789 x";
    EXPECT_EQ(readArgument(longer, out, sizeof out), longer + 10);
    EXPECT_STREQ(out, "0123456");
}

}  // namespace
