// The package walk: every record kind, completeness, and damaged packages.
#include <gtest/gtest.h>

#include <cstring>

#include "app/state.h"
#include "app/userinterface.h"
#include "builder/cataloguewriter.h"
#include "builder/packagewriter.h"
#include "package/format.h"
#include "package/loader.h"
#include "package/texts.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/testfiles.h"

namespace {

std::vector<std::vector<std::string>> sampleTables() {
    std::vector<std::vector<std::string>> tables(8);
    for (int t = 0; t < 8; ++t) tables[t] = {"title " + std::to_string(t), "text one", "text two"};
    tables[6].resize(34);
    tables[6][0] = "Sample Update";
    tables[6][33] = "The update file is not complete.";
    return tables;
}

Bytes smallTemplateSet() {
    std::vector<Bytes> templates;
    for (int n = 0; n < 10; ++n) templates.push_back(Bytes(20 + n, static_cast<uint8_t>(n + 1)));
    return encodeTemplateSet(templates);
}

// A package with one record of every kind, payload last.
PackageWriter fullPackage(bool compressed) {
    PackageWriter w;
    w.addBody(TAG_DIALOGS, smallTemplateSet(), compressed);
    w.addValue32(TAG_DISPLAY_FLAGS, 1);
    w.addText(TAG_DEFAULT_DIR, "C:\\Program Files\\Sample", compressed);
    w.addText(TAG_BANNER_TEXT, "Sample 2.0", compressed);
    Bytes font(LOGFONT_SIZE, 0);
    font[0] = 24;
    std::memcpy(font.data() + 28, "Arial", 5);
    w.addBody(TAG_BANNER_FONT, font, compressed);
    w.addBody(TAG_BILLBOARD, Bytes{'B', 'M', 1, 2, 3}, compressed);
    w.addBody(TAG_BACKGROUND, Bytes{'B', 'M', 9}, compressed);
    w.addValue32(TAG_REG_ROOT, 0x80000002u);
    w.addText(TAG_REG_SUBKEY, "Software\\Sample", compressed);
    w.addText(TAG_REG_VALUE, "InstallDir", compressed);
    w.addText(TAG_INI_FILE, "sample.ini", compressed);
    w.addText(TAG_INI_SECTION, "Setup", compressed);
    w.addText(TAG_INI_KEY, "Folder", compressed);
    w.addStringTables(sampleTables());
    EntryPlan a, b;
    a.relativePath = "a.dll";
    b.relativePath = "b.dll";
    w.addBody(TAG_CATALOGUE, writeCatalogue({a, b}), compressed);
    return w;
}

struct LoaderTest : ::testing::Test {
    TempFolder folder;
    void SetUp() override {
        resetUpdaterState();
        resetScriptedUi();
    }
    void TearDown() override { releasePackage(); }

    bool load(const Bytes& file) {
        std::string path = folder.file("update.exe");
        writeFile(path, file);
        copyText(updater.modulePath, path.c_str(), PATH_CAPACITY);
        return loadPackage();
    }
    bool load(const PackageWriter& w) { return load(w.finish(Bytes{'M', 'Z'})); }
};

PackageWriter withPayload(PackageWriter w, const Bytes& part = Bytes(100, 0xAB)) {
    w.addPayload(part);
    return w;
}

TEST_F(LoaderTest, EveryRecordKindLandsInTheState) {
    for (bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed bodies" : "plain bodies");
        releasePackage();
        resetUpdaterState();
        ASSERT_TRUE(load(withPayload(fullPackage(compressed))));
        EXPECT_EQ(updater.displayFlags, 1u);
        EXPECT_STREQ(updater.targetDir, "C:\\Program Files\\Sample");
        EXPECT_STREQ(updater.bannerText, "Sample 2.0");
        ASSERT_NE(updater.bannerFont, nullptr);
        EXPECT_EQ(updater.bannerFont[0], 24);
        EXPECT_STREQ(reinterpret_cast<char*>(updater.bannerFont + 28), "Arial");
        EXPECT_EQ(updater.billboardImageSize, 5u);
        EXPECT_EQ(updater.backgroundImageSize, 3u);
        EXPECT_EQ(updater.regRoot, 0x80000002u);
        EXPECT_STREQ(updater.regSubkey, "Software\\Sample");
        EXPECT_STREQ(updater.regValue, "InstallDir");
        EXPECT_STREQ(updater.iniFile, "sample.ini");
        EXPECT_STREQ(updater.iniSection, "Setup");
        EXPECT_STREQ(updater.iniKey, "Folder");
        EXPECT_STREQ(lookupString(6, 0), "Sample Update");
        EXPECT_STREQ(lookupString(3, 2), "text two");
        EXPECT_EQ(updater.dialogTemplatesSize, smallTemplateSet().size());
        EXPECT_EQ(updater.entryCount, 2u);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(updater.firstEntry), updater.catalogueData + 4);
        EXPECT_EQ(updater.packageKey, PACKAGE_KEY);
        EXPECT_EQ(updater.payloadLength, 100u);
        EXPECT_EQ(updater.volumeRemaining, 100u);
        EXPECT_EQ(updater.partOffset, 0u);
        EXPECT_STREQ(updater.volumePath, updater.modulePath);
        EXPECT_TRUE(scriptedUi.messages.empty());
    }
}

TEST_F(LoaderTest, PayloadStartIsTheOffsetOfItsLengthField) {
    PackageWriter w;
    w.addValue32(TAG_DISPLAY_FLAGS, 0);
    w.addPayload(Bytes(7, 1));
    ASSERT_TRUE(load(w));
    EXPECT_EQ(updater.payloadStart, 65536u + 12 + 8);
}

// Completeness: the first payload part must end exactly at the end of the
// file, unless a start page was set.
TEST_F(LoaderTest, CompletenessDecidesAndShowsTheNotice) {
    Bytes good = withPayload(fullPackage(false)).finish(Bytes{'M', 'Z'});
    Bytes appended = good;
    appended.push_back(0);
    Bytes cut(good.begin(), good.end() - 1);

    PackageWriter startPage = fullPackage(false);
    startPage.addValue16(TAG_START_PAGE, 2);
    Bytes startPageAppended = withPayload(startPage).finish({});
    startPageAppended.push_back(0);

    PackageWriter emptyStartPage = fullPackage(false);
    emptyStartPage.addRaw(TAG_START_PAGE, 0, {});
    Bytes emptyStartPageAppended = withPayload(emptyStartPage).finish({});
    emptyStartPageAppended.push_back(0);

    PackageWriter emptyPayload = fullPackage(false);
    emptyPayload.addRaw(TAG_PAYLOAD, 0, {});

    struct Case {
        const char* name;
        Bytes file;
        bool loads;
        bool notice;
    } cases[] = {
        {"exact end", good, true, false},
        {"one byte appended", appended, false, true},
        {"one byte cut inside the payload", cut, false, true},
        {"start page accepts an appended byte", startPageAppended, true, false},
        {"empty start page record accepts nothing", emptyStartPageAppended, false, true},
        {"empty payload record sets nothing", emptyPayload.finish({}), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        releasePackage();
        resetUpdaterState();
        resetScriptedUi();
        EXPECT_EQ(load(c.file), c.loads);
        ASSERT_EQ(scriptedUi.messages.size(), c.notice ? 1u : 0u);
        if (c.notice) {
            EXPECT_EQ(scriptedUi.messages[0].text, "The update file is not complete.");
            EXPECT_EQ(scriptedUi.messages[0].caption, "Sample Update");
            EXPECT_EQ(scriptedUi.messages[0].type, uint32_t(BOX_ICON_INFORMATION));
        }
    }
}

TEST_F(LoaderTest, StartPageIsStored) {
    PackageWriter w;
    w.addValue16(TAG_START_PAGE, 2);
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_EQ(updater.startPage, 2);
}

TEST_F(LoaderTest, EmptyNoticeEntryShowsNothing) {
    PackageWriter w;
    w.addStringTables({{}, {}, {}, {}, {}, {}, {"Title"}});
    Bytes file = withPayload(w).finish({});
    file.push_back(0);
    EXPECT_FALSE(load(file));
    EXPECT_TRUE(scriptedUi.messages.empty());
}

TEST_F(LoaderTest, FailuresWithoutMessage) {
    PackageWriter noPayload = fullPackage(false);
    Bytes endsBetweenRecords = noPayload.finish({});
    Bytes onlyImage(65536, 0);

    PackageWriter bodyPastEnd = fullPackage(false);
    bodyPastEnd.addRaw(TAG_BANNER_TEXT, 0, Bytes(10, 'x'));
    Bytes bodyCut = bodyPastEnd.finish({});
    bodyCut.resize(bodyCut.size() - 4);

    Bytes headerCut = withPayload(fullPackage(false)).finish({});
    headerCut.resize(65536 + 5);

    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"file ends between two records", endsBetweenRecords},
        {"nothing behind the image", onlyImage},
        {"a body runs past the end of the file", bodyCut},
        {"a header cut off", headerCut},
        {"shorter than the image", Bytes(100, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        releasePackage();
        resetUpdaterState();
        resetScriptedUi();
        EXPECT_FALSE(load(c.file));
        EXPECT_TRUE(scriptedUi.messages.empty());
    }
}

TEST_F(LoaderTest, MissingFileAndZeroImageLengthFail) {
    copyText(updater.modulePath, folder.file("absent.exe").c_str(), PATH_CAPACITY);
    EXPECT_FALSE(loadPackage());
    writeFile(folder.file("present.exe"), withPayload(fullPackage(false)).finish({}));
    copyText(updater.modulePath, folder.file("present.exe").c_str(), PATH_CAPACITY);
    updater.imageLength = 0;
    EXPECT_FALSE(loadPackage());
    EXPECT_TRUE(scriptedUi.messages.empty());
}

TEST_F(LoaderTest, NineStringTablesLoadEightAndTheWalkGoesOn) {
    PackageWriter w;
    std::vector<std::vector<std::string>> tables;
    for (int t = 0; t < 9; ++t) tables.push_back({"table " + std::to_string(t)});
    w.addStringTables(tables);
    w.addValue32(TAG_DISPLAY_FLAGS, 7);
    ASSERT_TRUE(load(withPayload(w)));
    for (int t = 0; t < 8; ++t) EXPECT_EQ(lookupString(t, 0), "table " + std::to_string(t));
    EXPECT_EQ(updater.displayFlags, 7u);
}

TEST_F(LoaderTest, UnknownTagsAndZeroLengthRecordsAreSkipped) {
    PackageWriter w;
    w.addRaw(0x123A, 0, Bytes(33, 0xEE));
    w.addRaw(TAG_DISPLAY_FLAGS, 0, {});
    w.addRaw(TAG_DEFAULT_DIR, 0, {});
    w.addText(TAG_BANNER_TEXT, "after");
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_STREQ(updater.bannerText, "after");
    EXPECT_EQ(updater.displayFlags, 0u);
    EXPECT_STREQ(updater.targetDir, "");
}

TEST_F(LoaderTest, LaterRecordReplacesEarlierOne) {
    PackageWriter w;
    w.addText(TAG_BANNER_TEXT, "first");
    w.addStringTables({{"a"}, {"b"}, {"c"}});
    w.addText(TAG_BANNER_TEXT, "second");
    w.addStringTables({{"x"}});
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_STREQ(updater.bannerText, "second");
    EXPECT_STREQ(lookupString(0, 0), "x");
    EXPECT_STREQ(lookupString(1, 0), "");   // replaced whole, not merged
}

TEST_F(LoaderTest, DefaultFolderIsCutToThePathBuffer) {
    PackageWriter w;
    w.addText(TAG_DEFAULT_DIR, std::string(400, 'd'));
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_EQ(std::strlen(updater.targetDir), size_t(PATH_CAPACITY - 1));
}

// Bodies whose bytes cannot be what their kind needs fail the loading.
TEST_F(LoaderTest, DamagedBodiesFailTheLoading) {
    Bytes set = smallTemplateSet();
    Bytes offsetOutside = set;
    offsetOutside[4 * 3] = 0xFF;
    offsetOutside[4 * 3 + 1] = 0xFF;
    Bytes offsetIntoTable = set;
    offsetIntoTable[4 * 2] = 4;
    offsetIntoTable[4 * 2 + 1] = 0;
    std::vector<Bytes> large(10, Bytes(8, 1));
    large[0] = Bytes(TEMPLATE_BLOCK_SIZE, 1);   // template 0 runs over the rest too
    Bytes tooLong = encodeTemplateSet(large);

    struct Case {
        const char* name;
        uint16_t tag;
        Bytes body;
    } cases[] = {
        {"template offset outside the set", TAG_DIALOGS, offsetOutside},
        {"template offset inside the offset table", TAG_DIALOGS, offsetIntoTable},
        {"template longer than its block", TAG_DIALOGS, tooLong},
        {"template set shorter than its offset table", TAG_DIALOGS, Bytes(12, 0)},
        {"font shorter than a LOGFONTA", TAG_BANNER_FONT, Bytes(59, 1)},
        {"catalogue without its count", TAG_CATALOGUE, Bytes(3, 1)},
        {"plain value shorter than 4 bytes", TAG_DISPLAY_FLAGS, Bytes(2, 1)},
    };
    for (const Case& c : cases) {
        for (bool compressed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (compressed ? ", compressed" : ""));
            if (compressed && c.tag == TAG_DISPLAY_FLAGS) continue;
            releasePackage();
            resetUpdaterState();
            resetScriptedUi();
            PackageWriter w;
            w.addBody(c.tag, c.body, compressed);
            EXPECT_FALSE(load(withPayload(w)));
            EXPECT_TRUE(scriptedUi.messages.empty());
        }
    }
}

// Template 0's copy runs over all the others to the set's end: a set whose
// templates add up to exactly one block is the largest that loads.
TEST_F(LoaderTest, TemplatesMayFillExactlyOneBlock) {
    std::vector<Bytes> templates(10, Bytes(8, 1));
    templates[9] = Bytes(TEMPLATE_BLOCK_SIZE - 9 * 8, 9);
    PackageWriter w;
    w.addBody(TAG_DIALOGS, encodeTemplateSet(templates), true);
    EXPECT_TRUE(load(withPayload(w)));
}

TEST_F(LoaderTest, FontFaceNameIsTerminatedWhateverThePackageSays) {
    PackageWriter w;
    w.addBody(TAG_BANNER_FONT, Bytes(LOGFONT_SIZE, 'A'), false);
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_EQ(std::strlen(reinterpret_cast<char*>(updater.bannerFont + 28)), 31u);
}

// A compressed body that unpacks to more than its stated size is cut at
// the buffer's end (the sanitizers watch the writes) and loading goes on.
TEST_F(LoaderTest, CompressedBodyLongerThanStatedIsCut) {
    Bytes packed;
    appendU32(packed, 4);   // says 4, unpacks to 11
    Bytes stream = storeStream(Bytes{'o', 'v', 'e', 'r', 'f', 'l', 'o', 'w', 'i', 'n', 'g'});
    packed.insert(packed.end(), stream.begin(), stream.end());
    PackageWriter w;
    w.addRaw(TAG_BANNER_TEXT, RECORD_COMPRESSED, packed);
    w.addValue32(TAG_DISPLAY_FLAGS, 3);
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_STREQ(updater.bannerText, "over");
    EXPECT_EQ(updater.displayFlags, 3u);
}

// A damaged stream does not fail the loading: the rest of the body is zero.
TEST_F(LoaderTest, UndecodableBodyLoadsPartly) {
    Bytes packed;
    appendU32(packed, 8);
    packed.insert(packed.end(), {0x00, 0xFF, 0xFF});   // block kind 0: invalid
    PackageWriter w;
    w.addRaw(TAG_BANNER_TEXT, RECORD_COMPRESSED, packed);
    ASSERT_TRUE(load(withPayload(w)));
    ASSERT_NE(updater.bannerText, nullptr);
    EXPECT_STREQ(updater.bannerText, "");
}

TEST_F(LoaderTest, HostileSizesNeitherAllocateNorWrap) {
    // An unpacked size of 4 GiB - 1 cannot be allocated with its guard byte.
    Bytes packed;
    appendU32(packed, 0xFFFFFFFFu);
    packed.push_back(0x0F);
    PackageWriter huge;
    huge.addRaw(TAG_BANNER_TEXT, RECORD_COMPRESSED, packed);
    EXPECT_FALSE(load(withPayload(huge)));

    // A record length that would wrap the file position back to an earlier
    // record must not make the walk loop.
    Bytes body;
    appendU32(body, 1);
    PackageWriter wrap;
    wrap.addValue32(TAG_DISPLAY_FLAGS, 1);
    Bytes file = wrap.finish({});
    Bytes header;
    appendU16(header, 0x5555);
    header.push_back(0);
    header.push_back(0);
    appendU32(header, 0xFFFFFFF0u);
    file.insert(file.end(), header.begin(), header.end());
    EXPECT_FALSE(load(file));
}

TEST_F(LoaderTest, StringTableWithoutTerminatorStaysInside) {
    // Count 3, but the second entry runs to the end of the table unterminated.
    Bytes table{3, 0, 'o', 'n', 'e', 0, 't', 'w', 'o'};
    Bytes body;
    appendU16(body, 1);
    appendU32(body, static_cast<uint32_t>(table.size()));
    Bytes stream = storeStream(table);
    body.insert(body.end(), stream.begin(), stream.end());
    PackageWriter w;
    w.addRaw(TAG_STRING_TABLES, 0, body);
    ASSERT_TRUE(load(withPayload(w)));
    EXPECT_STREQ(lookupString(0, 0), "one");
    EXPECT_STREQ(lookupString(0, 1), "two");
    EXPECT_STREQ(lookupString(0, 2), "");
}

TEST_F(LoaderTest, ReleaseNullsEveryBody) {
    ASSERT_TRUE(load(withPayload(fullPackage(true))));
    releasePackage();
    for (auto* table : updater.stringTables) EXPECT_EQ(table, nullptr);
    EXPECT_EQ(updater.catalogueData, nullptr);
    EXPECT_EQ(updater.dialogTemplates, nullptr);
    EXPECT_EQ(updater.bannerFont, nullptr);
    EXPECT_EQ(updater.bannerText, nullptr);
    EXPECT_EQ(updater.regSubkey, nullptr);
    EXPECT_EQ(updater.billboardImage, nullptr);
    EXPECT_EQ(updater.firstEntry, nullptr);
    EXPECT_STREQ(lookupString(6, 0), "");
}

}  // namespace
