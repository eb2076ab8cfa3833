// `zorvat inspect` on sound, damaged and hostile update files.
#include <gtest/gtest.h>

#include <sstream>

#include "builder/compressor.h"
#include "builder/inspect.h"
#include "builder/packagewriter.h"
#include "package/format.h"
#include "tests/support/testfiles.h"

namespace {

Bytes catalogueWithOneEntry() {
    // One entry: fixed part, the name strings, one known version, one region.
    Bytes entry(30, 0);
    std::string name = "bin\\app.exe";
    Bytes names(name.begin(), name.end());
    names.push_back(0);
    names.push_back(0);   // empty alternate subfolder
    uint32_t knownOffset = 30 + static_cast<uint32_t>(names.size());
    uint32_t regionOffset = knownOffset + 16;
    Bytes pattern{'V', 'E', 'R'};
    uint32_t length = regionOffset + 12 + static_cast<uint32_t>(pattern.size());
    Bytes e;
    appendU32(e, length);
    e.insert(e.end(), {0, 1, 0, 0});   // target, missing: install, unmatched: fail, update
    appendU16(e, 0x02);                // full contents
    appendU32(e, 1234);                // new size
    appendU32(e, 0xCAFEF00D);          // new checksum
    appendU16(e, 1);                   // one known version
    appendU16(e, 0);
    appendU16(e, knownOffset);
    appendU16(e, 0);
    appendU16(e, regionOffset);
    appendU16(e, 1);                   // one region
    e.insert(e.end(), names.begin(), names.end());
    appendU32(e, 0x11111111 ^ PACKAGE_KEY);
    appendU32(e, 1000);
    appendU32(e, 0);
    appendU32(e, 321);
    appendU32(e, 64);
    appendU32(e, 0xFFFFFFFF);
    appendU16(e, 1);
    appendU16(e, static_cast<uint32_t>(pattern.size()));
    e.insert(e.end(), pattern.begin(), pattern.end());
    Bytes catalogue;
    appendU32(catalogue, 1);
    catalogue.insert(catalogue.end(), e.begin(), e.end());
    return catalogue;
}

Bytes samplePackage() {
    PackageWriter w;
    w.encode = [](const Bytes& data) { return compressStream(data, 9); };
    std::vector<Bytes> templates(10, Bytes(24, 7));
    w.addBody(TAG_DIALOGS, encodeTemplateSet(templates), true);
    w.addValue32(TAG_DISPLAY_FLAGS, 1);
    w.addText(TAG_DEFAULT_DIR, "#Program Files#\\Sample", true);
    w.addStringTables({{"Welcome", "Line \"one\""}, {}, {}, {}, {}, {}, {"Sample Update", "tab\there"}});
    w.addBody(TAG_CATALOGUE, catalogueWithOneEntry(), true);
    w.addPayload(Bytes(500, 0x42));
    return w.finish({});
}

struct InspectTest : ::testing::Test {
    TempFolder folder;
    std::string out, err;
    int inspect(const Bytes& file) {
        std::string path = folder.file("update.exe");
        writeFile(path, file);
        std::ostringstream o, e;
        int code = inspectPackage(path, o, e);
        out = o.str();
        err = e.str();
        return code;
    }
};

TEST_F(InspectTest, ListsEveryPartOfASoundPackage) {
    ASSERT_EQ(inspect(samplePackage()), 0) << err;
    EXPECT_EQ(err, "");
    for (const char* expected : {
             "program image 65536 bytes", "TAG_DIALOGS", "packed", "TAG_DISPLAY_FLAGS", "value 0x00000001",
             "TAG_DEFAULT_DIR: \"#Program Files#\\\\Sample\"", "table 0: 2 entries", "\"Line \\\"one\\\"\"",
             "\"tab\\there\"", "template 9  offset", "catalogue: 1 entries", "\"bin\\\\app.exe\"",
             "missing install, unmatched fail, update, full contents", "new size 1234, checksum 0xCAFEF00D",
             "known 0: checksum 0x11111111, size 1000, payload offset 0, packed 321",
             "region 0: length 64, pattern of 3 bytes, carried over", "payload: part 0 at offset", "500 bytes"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << "missing: " << expected << "\n" << out;
    }
}

TEST_F(InspectTest, DamagedFilesAreReportedNotTrusted) {
    Bytes good = samplePackage();
    Bytes appended = good;
    appended.push_back(1);
    Bytes cut(good.begin(), good.end() - 10);
    Bytes cutInsideRecord(good.begin(), good.begin() + 65536 + 20);
    PackageWriter noPayload;
    noPayload.addValue32(TAG_DISPLAY_FLAGS, 0);
    Bytes catalogueLie = catalogueWithOneEntry();
    catalogueLie[4] = 0xFF;   // entry length beyond the catalogue
    PackageWriter w;
    w.addBody(TAG_CATALOGUE, catalogueLie, false);
    w.addPayload({});
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        {"byte appended", appended, "not complete"},
        {"payload cut", cut, "not complete"},
        {"ends before the payload record", noPayload.finish({}), "before the payload record"},
        {"cut inside a record", cutInsideRecord, "runs past the end of the file"},
        {"catalogue entry longer than the catalogue", w.finish({}), "outside the catalogue"},
        {"no package at all", Bytes(100, 0), "shorter than the 65536-byte program image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inspect(c.file), 1);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_NE(err.find("the package is damaged"), std::string::npos);
    }
}

// Flipping bits anywhere in the records must give a listing or a damage
// report, never a crash, a hang or a huge allocation (the sanitizers watch).
TEST_F(InspectTest, BitFlipsAnywhereEndCleanly) {
    Bytes good = samplePackage();
    for (size_t at = 65536; at < good.size(); at += 3) {
        for (int bit : {0, 5, 7}) {
            Bytes flipped = good;
            flipped[at] ^= static_cast<uint8_t>(1 << bit);
            int code = inspect(flipped);
            ASSERT_TRUE(code == 0 || code == 1) << at;
        }
    }
}

TEST_F(InspectTest, UnreadableFileThrowsAClearError) {
    std::ostringstream o, e;
    EXPECT_THROW(inspectPackage(folder.file("absent.exe"), o, e), std::runtime_error);
}

}  // namespace
