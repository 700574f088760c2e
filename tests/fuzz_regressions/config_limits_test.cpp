// The configuration reader on files built to make its keys grow with the square of the file
// size: keys longer than 1024 bytes are not stored, everything else reads as before.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/config.h"

namespace {

std::string WriteConfig(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + "redowl_config_limits_" + name + ".cgf";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace

TEST(ConfigLimits, KeysUpTo1024BytesAreStoredLongerOnesAreNot) {
    const std::string k1024(1024, 'k'), k1025(1025, 'k');
    // The long key's name is popped all the same: the last assignment sets "win.width".
    const std::string path = WriteConfig("literal", k1024 + " = 1\n" + k1025 + " = 2\nwin.width = 800\n");
    CONFIG::Lexer lexer;
    lexer.ReadFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(lexer.Entries().size(), 2u);
    EXPECT_EQ(lexer.Entries().count(k1025), 0u);
    EXPECT_EQ(lexer.GetInt(k1024), 1);
    EXPECT_EQ(lexer.GetInt("win.width"), 800);
}

TEST(ConfigLimits, DeepNameStackStoresOnlyShortKeys) {
    // 20000 one-letter names, then 10000 assignments that pop them one by one: unbounded, the
    // keys would hold 150 million bytes; only the prefixes of 1024 bytes or less are stored.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "a ";
    for (int i = 0; i < 10000; ++i) text += "= b ";
    text += "} = c\n";
    const std::string path = WriteConfig("deep", text);
    CONFIG::Lexer lexer;
    lexer.ReadFile(path);
    std::remove(path.c_str());
    EXPECT_TRUE(lexer.Entries().empty());

    // A stack of 1030 names popped by 10 assignments: keys of 1030 down to 1021 letters.
    text.clear();
    for (int i = 0; i < 1030; ++i) text += "a ";
    for (int i = 0; i < 10; ++i) text += "= v" + std::to_string(i) + " ";
    const std::string path2 = WriteConfig("edge", text);
    CONFIG::Lexer edge;
    edge.ReadFile(path2);
    std::remove(path2.c_str());
    ASSERT_EQ(edge.Entries().size(), 4u);  // lengths 1024, 1023, 1022, 1021
    EXPECT_EQ(edge.GetString(std::string(1024, 'a')), "v6");
    EXPECT_EQ(edge.GetString(std::string(1021, 'a')), "v9");
}
