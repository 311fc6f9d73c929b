#include <gtest/gtest.h>

#include <random>

#include "startup/main_machine.h"
#include "world.h"

namespace rz {
namespace {

std::string Decode(std::string text) {
    DecodeMainMachine(text);
    return text;
}

// Encodings written by installed name files; they must keep decoding the same.
const char* const kServ9 = "7,1365,1750,504,497,1043,";  // key 7
const char* const kMain2Line = "\"7,301,1701,1652,1302,1512,\"\r\n";
// Key 3, the printable characters from the space to the tilde.
const char* const kPrintable =
    "3,195,183,396,435,756,177,507,276,459,390,393,288,468,414,480,537,357,315,648,645,573,516,324,"
    "174,498,447,672,156,201,522,165,267,381,729,564,540,219,750,345,696,582,708,576,684,753,129,558,"
    "654,744,366,216,585,651,702,213,204,261,246,588,618,153,138,189,270,693,624,222,666,549,543,147,"
    "528,363,513,531,474,408,402,555,462,336,300,501,453,600,726,210,243,234,321,615,111,441,492,378,";

TEST(NameFile, TablesHaveTheirFixedForm) {
    EXPECT_EQ(CodeTableText().size(), 915u);
    EXPECT_EQ(IndexListText().size(), 915u);
    std::vector<bool> seen(256, false);
    for (int c = 0; c < 256; ++c) {
        const int t = CodeTableEntry(c);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 256);
        EXPECT_FALSE(seen[t]);
        seen[t] = true;
        if (c < 32) {
            EXPECT_EQ(t, c);
        }
    }
    std::string printable;
    for (char ch = ' '; ch <= '~'; ++ch) printable += ch;
    EXPECT_EQ(Decode(kPrintable), printable);
}

TEST(NameFile, DecoderEdgeCases) {
    const std::string name = kServ9;
    EXPECT_EQ(Decode(name), "SERV9");
    EXPECT_EQ(Decode("7" + name.substr(2)), "SERV9");          // no leading comma
    EXPECT_EQ(Decode(name + "123"), "SERV9");                  // digits after the last comma
    EXPECT_EQ(Decode(name + "1234567890123456789"), "SERV9");  // however many
    EXPECT_EQ(Decode("3" + std::string(40, '9')), "");
    EXPECT_EQ(Decode("7123456"), "");                          // no group at all
    EXPECT_EQ(Decode("3,,"), std::string(1, '\0'));            // an empty group is code 0
    EXPECT_EQ(Decode("3,,,"), std::string(2, '\0'));
    EXPECT_EQ(Decode("4,20,"), std::string(1, '\5'));          // control codes map to themselves
    EXPECT_EQ(Decode("4,21,972,"), "A");                       // 21/4 is no entry
    EXPECT_EQ(Decode("1,1024,"), "");                          // quotient above 255
    EXPECT_EQ(Decode("1,158,"), "k");
    EXPECT_EQ(Decode("\"" + name + "\""), "SERV9");            // the quote rule
    EXPECT_EQ(Decode("\"" + name + "X"), "SERV9");             // the last character goes, whatever it is
    EXPECT_EQ(Decode(""), "");
}

TEST(NameFile, MalformedItemsDecodeToNothing) {
    for (const std::string bad : {"0,12,", "A,12,", "7,12,x,", "7,1234567890123456,", "\"\"", "\"", "7,-7,",
                                  "7, 14,"})
        EXPECT_EQ(Decode(bad), "") << bad;
}

TEST(NameFile, ItemsAndTheLastItemDecides) {
    const std::string a = "\"5,1215,940,\"", b = "\"2,360,\"";
    EXPECT_EQ(DecodeNameFile(a + "\r\n"), "AB");
    EXPECT_EQ(DecodeNameFile(a + "\r\n" + b + "\r\n"), "C");
    EXPECT_EQ(DecodeNameFile(a + "," + b), "C");
    EXPECT_EQ(DecodeNameFile(a + "\r\n\"7123\"\r\n"), "");
    EXPECT_EQ(DecodeNameFile(""), "");
    EXPECT_EQ(ReadItems("\"a,b\" , c \r\n\r\nd"), (std::vector<std::string>{"a,b", "c", "d"}));
}

TEST(NameFile, ReadingStepFallsBackToTheDefault) {
    const std::string good = kMain2Line;
    struct Case {
        const char* what;
        std::function<void(World&)> make;
        const char* expected;
    } cases[] = {
        {"missing", [](World&) {}, "MAINPC"},
        {"empty", [](World& w) { w.p.AddFile(w.Path("MainMachine.ord")); }, "MAINPC"},
        {"good", [&](World& w) { w.p.AddFile(w.Path("MainMachine.ord"), good); }, "MAIN2"},
        {"folder", [](World& w) { w.p.AddDir(w.Path("MainMachine.ord")); }, "MAINPC"},
        {"huge", [&](World& w) { w.p.AddFile(w.Path("MainMachine.ord"), std::string(kNameFileLimit, ' ') + good); },
         "MAINPC"},
    };
    for (const Case& k : cases) {
        World w;
        k.make(w);
        w.Start();
        EXPECT_EQ(w.c.s.sMainMachine, k.expected) << k.what;
    }
}

TEST(NameFile, EncodingRoundTripsPrintableNames) {
    std::mt19937 random(42);
    for (int i = 0; i < 2000; ++i) {
        std::string name;
        const int length = 1 + static_cast<int>(random() % 15);
        while (static_cast<int>(name.size()) < length) {
            const char ch = static_cast<char>(32 + random() % 95);
            if (ch != ',' && ch != '"') name += ch;
        }
        const char key = static_cast<char>('1' + random() % 9);
        const std::string line = EncodeMainMachine(name, key);
        ASSERT_FALSE(line.empty()) << name;
        EXPECT_EQ(DecodeNameFile(line + "\r\n"), name);
    }
    EXPECT_EQ(EncodeMainMachine("", '7'), "");
    EXPECT_EQ(EncodeMainMachine("A,B", '7'), "");
    EXPECT_EQ(EncodeMainMachine("A\"B", '7'), "");
}

}  // namespace
}  // namespace rz
