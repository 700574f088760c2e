#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "errors/message_box.h"
#include "grid/cell_array.h"
#include "grid/grow_array.h"
#include "math/aligned.h"
#include "math/vector.h"

using RAYTR::CellArray3D;
using RAYTR::CellIndexList;
using RAYTR::GrowArray;

namespace {

struct AlignedItem : ORVA_MATH::SSE_Aligned_Object {
    ORVA_MATH::VECTOR v{0.0f, 0.0f, 0.0f, 1.0f};
    int id = -1;
};

// Counts constructions, so that "every allocated element is constructed" can be observed.
struct Counted {
    static int constructed;
    int value = 0;
    Counted() { ++constructed; }
};
int Counted::constructed = 0;

}  // namespace

TEST(GrowArrayTest, AppendGrowsBySixteenAndNeverFillsTheLastElement) {
    GrowArray<int> list;
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_EQ(list.Capacity(), 0u);
    list.Append(100);
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.Capacity(), 16u);
    for (int i = 1; i < 15; ++i) list.Append(100 + i);
    EXPECT_EQ(list.Size(), 15u);
    EXPECT_EQ(list.Capacity(), 16u);
    list.Append(115);
    EXPECT_EQ(list.Size(), 16u);
    EXPECT_EQ(list.Capacity(), 32u);
    for (unsigned i = 0; i < list.Size(); ++i) EXPECT_EQ(list[i], static_cast<int>(100 + i));
}

TEST(GrowArrayTest, AppendOfOwnElementSurvivesTheReallocation) {
    GrowArray<int> list;
    for (int i = 0; i < 15; ++i) list.Append(i * 3);
    list.Append(list[4]);  // reallocates while the item refers into the old array
    EXPECT_EQ(list.Size(), 16u);
    EXPECT_EQ(list[15], 12);
}

TEST(GrowArrayTest, ReserveKeepsElementsAndRefusesLessThanTheCount) {
    TIRN_ERROR::BoxRecorder recorder;
    GrowArray<int> list;
    for (int i = 0; i < 5; ++i) list.Append(i + 1);
    ASSERT_EQ(list.Capacity(), 16u);
    list.Reserve(5);  // between size and capacity: shrinks the allocation
    EXPECT_EQ(list.Capacity(), 5u);
    EXPECT_EQ(list.Size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list[i], i + 1);
    EXPECT_THROW(list.Reserve(4), TIRN_ERROR::Error);
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].first, "Error: ");
    EXPECT_EQ(recorder.Boxes()[0].second, "strange requirement to reserve less memory than already reserved");
    EXPECT_EQ(list.Capacity(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list[i], i + 1);
}

TEST(GrowArrayTest, EveryAllocatedElementIsConstructedAndAlignedTypesStayAligned) {
    Counted::constructed = 0;
    GrowArray<Counted> counted(3);
    EXPECT_EQ(Counted::constructed, 3);
    counted.Reserve(10);  // 10 new ones, filled before the old ones go
    EXPECT_EQ(Counted::constructed, 3 + 10);

    GrowArray<AlignedItem> aligned;
    for (int i = 0; i < 40; ++i) {
        AlignedItem item;
        item.id = i;
        aligned.Append(item);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(&aligned[0]) % 16, 0u);
    }
    for (int i = 0; i < 40; ++i) EXPECT_EQ(aligned[i].id, i);
}

TEST(GrowArrayTest, AssignCopiesDeeplyAndKeepsElementsBeyondTheNewSize) {
    GrowArray<int> big(6), small(2);
    for (int i = 0; i < 6; ++i) big[i] = 10 + i;
    small[0] = 1;
    small[1] = 2;
    GrowArray<int> target(6);
    for (int i = 0; i < 6; ++i) target[i] = -1;
    target.Assign(small);
    EXPECT_EQ(target.Size(), 2u);
    EXPECT_EQ(target.Capacity(), 6u);
    EXPECT_EQ(target[1], 2);
    EXPECT_EQ(target[4], -1);  // left as it was
    target.Assign(big);
    EXPECT_EQ(target.Size(), 6u);
    big[0] = 99;
    EXPECT_EQ(target[0], 10);  // independent of the source
    GrowArray<int> copy = big;
    EXPECT_EQ(copy.Size(), 6u);
    EXPECT_EQ(copy[0], 99);
}

TEST(CellIndexListTest, ResizeKeepsTheLeadingEntries) {
    CellIndexList list;
    EXPECT_EQ(list.size, 8u);
    for (unsigned i = 0; i < 8; ++i) list.indices[i] = i * 7;
    list.ResizeList(16);
    EXPECT_EQ(list.size, 16u);
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(list.indices[i], i * 7);
    list.ResizeList(3);
    EXPECT_EQ(list.size, 3u);
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(list.indices[i], i * 7);
    CellIndexList copy;
    copy = list;
    EXPECT_EQ(copy.size, 3u);
    EXPECT_EQ(copy.indices[2], 14u);
    EXPECT_NE(copy.indices, list.indices);
    list.ResizeList(0);
    EXPECT_EQ(list.size, 0u);
}

TEST(CellArray3DTest, StridesAndLinearLayout) {
    CellArray3D<CellIndexList> cells;
    EXPECT_EQ(cells.Count(), 0u);
    cells.SetDimensions(2, 3, 4);
    EXPECT_EQ(cells.Stride0(), 12);
    EXPECT_EQ(cells.Stride1(), 4);
    EXPECT_EQ(cells.Count(), 24u);
    EXPECT_EQ(&cells.at(1, 2, 3), &cells[23]);
    EXPECT_EQ(cells[5].size, 8u);  // new cells have room for 8 indices
}

TEST(CellArray3DTest, AssignReplacesSmallerTargetsAndKeepsLargerOnes) {
    CellArray3D<CellIndexList> big, small;
    big.SetDimensions(2, 3, 4);
    small.SetDimensions(2, 2, 2);
    for (unsigned c = 0; c < 24; ++c) {
        big[c].ResizeList(1);
        big[c].indices[0] = 1000 + c;
    }
    for (unsigned c = 0; c < 8; ++c) {
        small[c].ResizeList(2);
        small[c].indices[0] = c;
        small[c].indices[1] = c + 1;
    }
    CellArray3D<CellIndexList> target;
    target.SetDimensions(2, 2, 2);
    target.Assign(big);  // 24 into 8: replaced
    EXPECT_EQ(target.Count(), 24u);
    EXPECT_EQ(target.Stride0(), 12);
    EXPECT_EQ(target.at(1, 2, 3).indices[0], 1023u);
    big[23].indices[0] = 5;
    EXPECT_EQ(target[23].indices[0], 1023u);  // deep
    target.Assign(small);  // 8 into 24: the first 8 copied, count 8
    EXPECT_EQ(target.Count(), 8u);
    EXPECT_EQ(target.Stride0(), 4);
    EXPECT_EQ(target.Stride1(), 2);
    EXPECT_EQ(target[7].size, 2u);
    EXPECT_EQ(target[7].indices[1], 8u);
    EXPECT_EQ(target.Cubes().Capacity(), 24u);
}

namespace {
// Fails its construction once `left` reaches zero, as an allocation failure would.
struct Fragile {
    static int left;
    Fragile() {
        if (left-- == 0) throw std::bad_alloc();
    }
    int value = 0;
};
int Fragile::left = 1 << 30;
}  // namespace

TEST(GrowArrayTest, AFailedAllocationLeavesEveryArrayUsable) {
    // GrowArray: the elements and the capacity stay; nothing leaks (the sanitizer build checks).
    Fragile::left = 1 << 30;
    GrowArray<Fragile> list(3);
    for (unsigned i = 0; i < 3; ++i) list[i].value = static_cast<int>(i) + 7;
    Fragile::left = 2;
    EXPECT_THROW(list.Reserve(10), std::bad_alloc);
    ASSERT_NE(list.Data(), nullptr);
    EXPECT_EQ(list.Capacity(), 3u);
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(list[i].value, static_cast<int>(i) + 7);
    // CellArray3D: empty (0 x 0 x 0) but whole after a failure, and usable again.
    Fragile::left = 1 << 30;
    RAYTR::CellArray3D<Fragile> cells;
    cells.SetDimensions(2, 2, 2);
    Fragile::left = 5;
    EXPECT_THROW(cells.SetDimensions(3, 3, 3), std::bad_alloc);
    EXPECT_EQ(cells.Count(), 0u);
    EXPECT_EQ(cells.Dim(0), 0u);
    Fragile::left = 1 << 30;
    cells.SetDimensions(1, 2, 3);
    EXPECT_EQ(cells.Count(), 6u);
    EXPECT_EQ(cells.Stride0(), 6);
}
