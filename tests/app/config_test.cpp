#include "app/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "errors/errors.h"
#include "errors/message_box.h"

namespace {

namespace fs = std::filesystem;

// A configuration file with the given bytes in a fresh temporary directory.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& text) {
        std::string pattern = (fs::temp_directory_path() / "redowl_cfg_XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = (fs::path(dir_) / "release.cgf").string();
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~ConfigFile() { fs::remove_all(dir_); }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

CONFIG::Lexer Read(const std::string& text) {
    ConfigFile file(text);
    CONFIG::Lexer lexer;
    lexer.ReadFile(file.path());
    return lexer;
}

TEST(ConfigLexerTest, DottedAndBlockFormsNestAndConcatenate) {
    CONFIG::Lexer c = Read(
        "win.width = 800\n"
        "win { height = 600 }\n"
        "tracer { regular_grid { algoritm_type = fast_algorithm } threads_num = 4 }\n"
        "a b = 1\n"
        "c = 2\n");
    EXPECT_EQ(c.GetInt("win.width"), 800);
    EXPECT_EQ(c.GetInt("win.height"), 600);
    EXPECT_EQ(c.GetString("tracer.regular_grid.algoritm_type"), "fast_algorithm");
    EXPECT_EQ(c.GetInt("tracer.threads_num"), 4);
    // Two names before one "=" join without separator and the first stays on the stack.
    EXPECT_EQ(c.GetString("ab"), "1");
    EXPECT_EQ(c.GetString("ac"), "2");
    EXPECT_EQ(c.Entries().count("c"), 0u);
}

TEST(ConfigLexerTest, WordRulesForEqualsAndValues) {
    CONFIG::Lexer c = Read(
        "width=800\n"            // one name word: assigns nothing, leaves "width=800" on the stack
        "}\n"                    // pops it (and pops an empty stack harmlessly)
        "v = {\n"                // a value is never classified
        "w = //x\n"
        "k = 1\n"
        "k = 2\n"                // later assignment wins
        "tab\t=\t7\n"
        "f = 2.5e1xyz\n"
        "n = -12abc\n"
        "last = 1");             // no line end at the end of the file
    EXPECT_EQ(c.Entries().count("width=800"), 0u);
    EXPECT_EQ(c.GetString("v"), "{");
    EXPECT_EQ(c.GetString("w"), "//x");
    EXPECT_EQ(c.GetString("k"), "2");
    EXPECT_EQ(c.GetInt("tab"), 7);
    EXPECT_FLOAT_EQ(c.GetFloat("f"), 25.0f);
    EXPECT_EQ(c.GetInt("n"), -12);
    EXPECT_EQ(c.GetInt("last"), 1);
    EXPECT_EQ(c.Entries().size(), 7u);  // v w k tab f n last, nothing stray
}

TEST(ConfigLexerTest, CommentsAndRequireSkipTheRestOfTheirLine) {
    CONFIG::Lexer c = Read(
        "// win.width = 10\n"
        "x = 5 // five = 6\n"
        "y = 5//five\n"
        "z//comment = 9\n"       // a word containing "//" starts a comment
        "#require lib = 3\n"
        "required = 4\n"         // "required" contains "require": skipped too
        "after = 8\n");
    EXPECT_EQ(c.Entries().count("win.width"), 0u);
    EXPECT_EQ(c.GetString("x"), "5");
    EXPECT_EQ(c.GetString("y"), "5//five");
    EXPECT_EQ(c.GetInt("y"), 5);
    EXPECT_EQ(c.Entries().count("five"), 0u);
    EXPECT_EQ(c.Entries().count("lib"), 0u);
    EXPECT_EQ(c.Entries().count("required"), 0u);
    // The skipped lines leave the stack clean: the next assignment is unprefixed.
    EXPECT_EQ(c.GetString("after"), "8");
}

TEST(ConfigLexerTest, CommentOnTheLastLineWithoutLineEnd) {
    CONFIG::Lexer c = Read("a = 1\n// tail without line end");
    EXPECT_EQ(c.GetString("a"), "1");
    EXPECT_EQ(c.Entries().size(), 1u);
}

TEST(ConfigLexerTest, MalformedStructureIsAbsorbed) {
    // A leading "}" is ignored; "=" as the last word assigns nothing.
    CONFIG::Lexer c = Read("} } a = 1\nb =");
    EXPECT_EQ(c.GetString("a"), "1");
    EXPECT_EQ(c.Entries().count("b"), 0u);
    EXPECT_EQ(c.Entries().size(), 1u);

    // An unbalanced "{" keeps its names until the end of the read only.
    CONFIG::Lexer d = Read("s { t = 1\n u = 2\n");
    EXPECT_EQ(d.GetString("s.t"), "1");
    EXPECT_EQ(d.GetString("s.u"), "2");
}

TEST(ConfigLexerTest, EqualsWithAnEmptyStackStoresUnderTheEmptyKey) {
    CONFIG::Lexer c = Read("= 5\nwin { width = 3 } = 9\nx = 1\n");
    // Both stray values land under "", the later one winning; nothing else is disturbed.
    ASSERT_EQ(c.Entries().count(""), 1u);
    EXPECT_EQ(c.Entries().at(""), "9");
    EXPECT_EQ(c.GetInt("win.width"), 3);
    EXPECT_EQ(c.GetInt("x"), 1);
    EXPECT_EQ(c.Entries().size(), 3u);
}

TEST(ConfigLexerTest, AbsentKeysReadEmptyAndAreInserted) {
    CONFIG::Lexer c = Read("a = 1\n");
    EXPECT_EQ(c.Entries().count("scene.N_models"), 0u);
    EXPECT_EQ(c.GetInt("scene.N_models"), 0);
    EXPECT_EQ(c.GetString("scene.model0"), "");
    EXPECT_EQ(c.GetFloat("tracer.regular_grid.cub_less_elem_times"), 0.0f);
    ASSERT_EQ(c.Entries().count("scene.N_models"), 1u);
    EXPECT_EQ(c.Entries().at("scene.N_models"), "");
    EXPECT_EQ(c.Entries().count("scene.model0"), 1u);
    EXPECT_EQ(c.Entries().size(), 4u);
}

TEST(ConfigLexerTest, SecondReadAddsAndReplacesWithAFreshStack) {
    ConfigFile first("a { b = 1\nkeep = 1\n");  // leaves "a" "." on the stack at its end
    ConfigFile second("b = 2\nkeep2 = 3\n");
    CONFIG::Lexer c;
    c.ReadFile(first.path());
    c.ReadFile(second.path());
    EXPECT_EQ(c.GetString("a.b"), "1");
    EXPECT_EQ(c.GetString("b"), "2");  // the first read's stack is gone
    EXPECT_EQ(c.GetString("a.keep"), "1");
    EXPECT_EQ(c.GetString("keep2"), "3");
}

TEST(ConfigLexerTest, MissingOrUnreadableFileShowsFileErrorAndKeepsTheMap) {
    TIRN_ERROR::BoxRecorder recorder;
    ConfigFile file("a = 1\n");
    CONFIG::Lexer c;
    c.ReadFile(file.path());
    const std::string missing = file.path() + ".missing";
    try {
        c.ReadFile(missing);
        FAIL() << "no exception";
    } catch (const TIRN_ERROR::File_Error& e) {
        EXPECT_STREQ(e.what(), "RUN TIME ERROR!");
    }
    // A directory opens on this platform but is no configuration either.
    const std::string dir = fs::path(file.path()).parent_path().string();
    EXPECT_THROW(c.ReadFile(dir), TIRN_ERROR::File_Error);

    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].first, "File_Error: ");
    EXPECT_EQ(boxes[0].second, "Can not open file " + missing);
    EXPECT_EQ(boxes[1].second, "Can not open file " + dir);
    EXPECT_EQ(c.Entries().size(), 1u);
    EXPECT_EQ(c.GetString("a"), "1");
}

}  // namespace
