#include <gtest/gtest.h>

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
