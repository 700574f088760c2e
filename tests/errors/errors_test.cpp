#include <gtest/gtest.h>

#include <algorithm>

#include "errors/errors.h"
#include "errors/message_box.h"

using namespace TIRN_ERROR;

TEST(ErrorsTest, EachClassShowsOneBoxWithItsCaptionBeforeTheThrow) {
    BoxRecorder recorder;
    struct Case { std::function<void()> raise; const char* caption; const char* what; };
    const Case cases[] = {
        {[] { throw Error("Out of Range in MESH::AssignTexture"); }, "Error: ", "Out of Range in MESH::AssignTexture"},
        {[] { throw File_Error("Can not open file release.cgf"); }, "File_Error: ", "RUN TIME ERROR!"},
        {[] { throw L3DS_Error("Can not load x.3ds"); }, "L3DS_Error: ", "RUN TIME ERROR!"},
        {[] { throw Image_File_Error("bad"); }, "Image_File_Error: ", "RUN TIME ERROR!"},
        {[] { throw Zero_Division("Attempt to inverse singular matrix"); }, "Zero_Division: ", "RUN TIME ERROR!"},
    };
    for (const Case& c : cases) {
        recorder.Clear();
        try {
            c.raise();
            FAIL();
        } catch (const Error& e) {
            // The box was shown before the handler runs, exactly once.
            ASSERT_EQ(recorder.Boxes().size(), 1u);
            EXPECT_EQ(recorder.Boxes()[0].first, c.caption);
            EXPECT_STREQ(e.what(), c.what);
            Error copy = e;  // copying shows nothing
            (void)copy;
            EXPECT_EQ(recorder.Boxes().size(), 1u);
        }
    }
}

TEST(ErrorsTest, DefaultConstructionShowsNothing) {
    BoxRecorder recorder;
    Error e;
    File_Error f;
    EXPECT_STREQ(e.what(), "RUN TIME ERROR!");
    EXPECT_TRUE(recorder.Boxes().empty());
}

// A box's text wraps at a readable width: a 300-character message of words and a long path
// becomes lines of at most 72 characters that hold every character but the blanks broken at,
// and a text of too many lines ends in "...". The line for standard error is one line.
TEST(ErrorsTest, ABoxsTextIsWrappedAndItsLineForStandardErrorIsOne) {
    std::string message = "Can not load /home/user/models/";
    while (message.size() < 200) message += "deep/";
    message += "scan.ply: its reader failed, and this sentence runs on long enough to need lines of its own.";
    message.resize(300, '.');
    const std::string wrapped = WrapBoxText(message);
    std::string joined;
    std::size_t lines = 0, at = 0;
    while (at <= wrapped.size()) {
        std::size_t end = wrapped.find('\n', at);
        if (end == std::string::npos) end = wrapped.size();
        const std::string line = wrapped.substr(at, end - at);
        EXPECT_LE(line.size(), kBoxColumns) << line;
        EXPECT_FALSE(line.empty());
        joined += line;
        ++lines;
        at = end + 1;
    }
    EXPECT_GE(lines, 5u);
    std::string squeezed = message;
    squeezed.erase(std::remove(squeezed.begin(), squeezed.end(), ' '), squeezed.end());
    joined.erase(std::remove(joined.begin(), joined.end(), ' '), joined.end());
    EXPECT_EQ(joined, squeezed);
    // The path was broken after a '/', not inside a name.
    EXPECT_NE(wrapped.find("deep/\n"), std::string::npos) << wrapped;
    // Too many lines: the last shown says there is more.
    const std::string tall = WrapBoxText(std::string(40, '\n') + "end", 72, 5);
    EXPECT_EQ(std::count(tall.begin(), tall.end(), '\n'), 4);
    EXPECT_EQ(tall.substr(tall.size() - 3), "...");
    EXPECT_EQ(BoxLine("File_Error: ", "a\nb"), "File_Error: a b");
}
