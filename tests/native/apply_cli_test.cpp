// `zorvat apply` as a vendor runs it: the rows as they come, the outcome,
// and the exit code.
#include <gtest/gtest.h>

#include <filesystem>

#include "builder/patchwriter.h"
#include "builder/volumewriter.h"
#include "tests/support/scenario.h"
#include "tests/support/testfiles.h"

namespace {

struct ApplyCliTest : ::testing::Test {
    TempFolder folder;
    Scenario s = makeScenario([](const Bytes& script, const Bytes& inserts) {
        return writePatchItem(script, inserts, 9);
    });
    std::string update = folder.file("update.exe");
    std::string app = folder.file("App");
    std::string moved = folder.file("Moved");

    void SetUp() override {
        writeFile(update, s.package);
        for (size_t k = 0; k < s.volumes.size(); ++k)
            writeFile(volumeFileName(update, static_cast<uint32_t>(k + 1)), s.volumes[k]);
        installOldVersion(s, app, moved);
    }
    std::string zorvat(const std::string& arguments) {
        return std::string(ZORVAT_PATH) + " apply " + update + " " + app + " " + arguments;
    }
};

TEST_F(ApplyCliTest, AppliesAnUpdateAndPrintsItsRows) {
    CommandRun first = runCommand(zorvat("--alternate " + moved));
    EXPECT_EQ(first.exitCode, 0) << first.output;
    for (const char* row : {"Replaced  app.exe\n", "Replaced  data\\readme.txt\n", "Created  plugins\\new\\extra.dll\n",
                            "Deleted  obsolete.txt\n", "Replaced  config.bin\n", "Replaced  moved.dll\n"})
        EXPECT_NE(first.output.find(row), std::string::npos) << row << first.output;
    EXPECT_EQ(readFile(app + "/app.exe"), s.newFiles.at("app.exe"));

    CommandRun second = runCommand(zorvat("--alternate " + moved));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_NE(second.output.find("Your files are up to date already."), std::string::npos) << second.output;
}

TEST_F(ApplyCliTest, UnrecognisedFileIsNamedAndFails) {
    writeFile(app + "/app.exe", Bytes(77, 'x'));
    CommandRun result = runCommand(zorvat(""));
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.output.find("The update cannot go on."), std::string::npos) << result.output;
    std::string named = "The file " + app + "\\app.exe is not a version this update knows.";
    for (char& c : named)
        if (c == '/') c = '\\';
    EXPECT_NE(result.output.find(named), std::string::npos) << result.output;
    EXPECT_EQ(readFile(app + "/app.exe"), Bytes(77, 'x'));
}

TEST_F(ApplyCliTest, MovedFilesNeedAnAnswerAndBadArgumentsAreRefused) {
    CommandRun unanswered = runCommand(zorvat(""));   // no terminal, no --alternate: the question is cancelled
    EXPECT_NE(unanswered.exitCode, 0);
    EXPECT_NE(unanswered.output.find("moved.dll is not a version this update knows."), std::string::npos)
        << unanswered.output;
    EXPECT_EQ(runCommand(std::string(ZORVAT_PATH) + " apply " + update).exitCode, 2);
    EXPECT_EQ(runCommand(zorvat("--frobnicate")).exitCode, 2);
    EXPECT_NE(runCommand(std::string(ZORVAT_PATH) + " apply " + folder.file("absent.exe") + " " + app).exitCode, 0);
}

}  // namespace
