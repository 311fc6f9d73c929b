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

// The body of an encoding with key k for the given codes, without quotes.
std::string Body(int k, const std::vector<int>& codes) {
    std::string body = std::to_string(k) + ",";
    for (int c : codes) body += std::to_string(k * CodeTableEntry(c)) + ",";
    return body;
}

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
}

TEST(NameFile, DecoderEdgeCases) {
    const std::string name = Body(7, {'S', 'E', 'R', 'V', '9'});
    EXPECT_EQ(Decode(name), "SERV9");
    EXPECT_EQ(Decode("7" + name.substr(2)), "SERV9");          // no leading comma
    EXPECT_EQ(Decode(name + "123"), "SERV9");                  // digits after the last comma
    EXPECT_EQ(Decode("7123456"), "");                          // no group at all
    EXPECT_EQ(Decode("3,,"), std::string(1, '\0'));            // an empty group is code 0
    EXPECT_EQ(Decode("3,,,"), std::string(2, '\0'));
    EXPECT_EQ(Decode("4,20,"), std::string(1, '\5'));          // control codes map to themselves
    EXPECT_EQ(Decode("4,21," + std::to_string(4 * CodeTableEntry('A')) + ","), "A");  // 21/4 is no entry
    EXPECT_EQ(Decode("1,1024,"), "");                          // quotient above 255
    EXPECT_EQ(Decode(Body(1, {'k'})), "k");
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
    const std::string a = "\"" + Body(5, {'A', 'B'}) + "\"", b = "\"" + Body(2, {'C'}) + "\"";
    EXPECT_EQ(DecodeNameFile(a + "\r\n"), "AB");
    EXPECT_EQ(DecodeNameFile(a + "\r\n" + b + "\r\n"), "C");
    EXPECT_EQ(DecodeNameFile(a + "," + b), "C");
    EXPECT_EQ(DecodeNameFile(a + "\r\n\"7123\"\r\n"), "");
    EXPECT_EQ(DecodeNameFile(""), "");
    EXPECT_EQ(ReadItems("\"a,b\" , c \r\n\r\nd"), (std::vector<std::string>{"a,b", "c", "d"}));
}

TEST(NameFile, ReadingStepFallsBackToTheDefault) {
    const std::string good = "\"" + Body(7, {'M', 'A', 'I', 'N', '2'}) + "\"\r\n";
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
