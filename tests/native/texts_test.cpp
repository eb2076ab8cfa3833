// Looking up texts, formatting messages, and handing out dialog templates.
#include <gtest/gtest.h>

#include <cstring>

#include "app/state.h"
#include "builder/packagewriter.h"
#include "package/format.h"
#include "package/texts.h"

namespace {

struct TextsTest : ::testing::Test {
    std::vector<Bytes> tables;
    Bytes templateSet;

    void SetUp() override { resetUpdaterState(); }

    // Installs tables as the loader does: each with one zero byte behind it.
    void setTable(uint32_t number, const std::vector<std::string>& entries) {
        setRawTable(number, encodeStringTable(entries));
    }
    void setRawTable(uint32_t number, Bytes table) {
        tables.resize(8);
        tables[number] = table;
        tables[number].push_back(0);
        updater.stringTables[number] = tables[number].data();
        updater.stringTableSizes[number] = static_cast<uint32_t>(table.size());
    }
};

TEST_F(TextsTest, LookupGivesEntriesUpToTheCount) {
    setTable(2, {"zero", "", "two"});
    EXPECT_STREQ(lookupString(2, 0), "zero");
    EXPECT_STREQ(lookupString(2, 1), "");
    EXPECT_STREQ(lookupString(2, 2), "two");
    EXPECT_EQ(lookupString(2, 3), emptyString);
    EXPECT_EQ(lookupString(2, 65535), emptyString);
    EXPECT_EQ(lookupString(3, 0), emptyString);   // absent table
    EXPECT_EQ(lookupString(8, 0), emptyString);
    EXPECT_EQ(lookupString(0xFFFFFFFF, 0), emptyString);
}

TEST_F(TextsTest, LookupNeverLeavesADamagedTable) {
    setRawTable(0, Bytes{200, 0, 'a', 0, 'b'});   // claims 200 entries, holds 2
    EXPECT_STREQ(lookupString(0, 0), "a");
    EXPECT_STREQ(lookupString(0, 1), "b");
    for (uint32_t entry = 2; entry < 200; ++entry) EXPECT_EQ(lookupString(0, entry), emptyString);
    setRawTable(1, Bytes{1});   // too short to hold its count
    EXPECT_EQ(lookupString(1, 0), emptyString);
}

TEST_F(TextsTest, FormatMessageReplacesOnlyWhenTheEntryHoldsPercentS) {
    setTable(6, {"Title", "Cannot open %s.", "100% done", "%s is 50%% done", "no %d here %s", "%s"});
    copyText(updater.messageArg, "C:\\App\\a.dll", PATH_CAPACITY);
    struct Case {
        uint32_t entry;
        const char* expected;
    } cases[] = {
        {1, "Cannot open C:\\App\\a.dll."},
        {2, "100% done"},                       // no %s: copied as it is
        {3, "C:\\App\\a.dll is 50% done"},
        {4, "no 0 here C:\\App\\a.dll"},        // %d takes no argument of a message
        {5, "C:\\App\\a.dll"},
        {40, ""},
    };
    for (const Case& c : cases) {
        char out[MESSAGE_CAPACITY];
        std::memset(out, 'x', sizeof out);
        formatMessage(out, sizeof out, c.entry);
        EXPECT_STREQ(out, c.expected) << "entry " << c.entry;
    }
}

TEST_F(TextsTest, FormattingNeverPassesItsCapacity) {
    std::string longText(2000, 'm');
    setTable(6, {"Title", longText + "%s", longText});
    copyText(updater.messageArg, std::string(259, 'p').c_str(), PATH_CAPACITY);
    for (uint32_t entry : {1u, 2u}) {
        std::vector<char> out(MESSAGE_CAPACITY + 16, 'x');
        formatMessage(out.data(), MESSAGE_CAPACITY, entry);
        EXPECT_EQ(std::strlen(out.data()), size_t(MESSAGE_CAPACITY - 1));
        EXPECT_EQ(out[MESSAGE_CAPACITY], 'x');
    }
    char small[6];
    formatText(small, sizeof small, "%s and more", "abcdefgh", 0);
    EXPECT_STREQ(small, "abcde");
}

TEST_F(TextsTest, FormatTextTakesOneNumberAndOneText) {
    char out[64];
    formatText(out, sizeof out, "Insert disk %d, then %s.", "click OK", 2);
    EXPECT_STREQ(out, "Insert disk 2, then click OK.");
    formatText(out, sizeof out, "%d|%d|%x|%", "", -2147483647 - 1);
    EXPECT_STREQ(out, "-2147483648|-2147483648|%x|%");
}

TEST_F(TextsTest, TemplateBlockHoldsTheTemplateAndZerosBeyond) {
    std::vector<Bytes> templates(10);
    for (int n = 0; n < 10; ++n) templates[n] = Bytes(100 + n, static_cast<uint8_t>(0xA0 + n));
    templateSet = encodeTemplateSet(templates);
    updater.dialogTemplates = templateSet.data();
    updater.dialogTemplatesSize = static_cast<uint32_t>(templateSet.size());

    for (uint32_t number : {0u, 5u, 9u}) {
        auto* block = static_cast<uint8_t*>(copyDialogTemplate(number));
        ASSERT_NE(block, nullptr);
        uint32_t offset = 40;
        for (uint32_t n = 0; n < number; ++n) offset += 100 + n;
        uint32_t copied = static_cast<uint32_t>(templateSet.size()) - offset;   // to the end of the set
        EXPECT_EQ(std::memcmp(block, templateSet.data() + offset, copied), 0);
        for (uint32_t i = copied; i < TEMPLATE_BLOCK_SIZE; ++i) ASSERT_EQ(block[i], 0) << i;
        freeDialogTemplate(block);
    }
    EXPECT_EQ(copyDialogTemplate(10), nullptr);
    updater.dialogTemplates = nullptr;
    EXPECT_EQ(copyDialogTemplate(0), nullptr);
}

}  // namespace
