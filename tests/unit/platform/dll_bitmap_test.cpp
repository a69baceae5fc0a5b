// Intrusive lists and bitmaps.
#include <gtest/gtest.h>

#include <vector>

#include "platform/bitmap.h"
#include "platform/dll.h"

namespace {

struct Item {
    OzmDllNode links;
    int value;
};

// The values front to back; the back links and the count must agree with them.
std::vector<int> walk(const OzmDllList& list) {
    std::vector<int> values, back;
    for (OzmDllNode* n = ozmDLLGetFirst(&list); n != nullptr; n = ozmDLLGetNext(n))
        values.push_back(reinterpret_cast<Item*>(n)->value);
    for (OzmDllNode* n = list.tail; n != nullptr; n = n->prev)
        back.insert(back.begin(), reinterpret_cast<Item*>(n)->value);
    EXPECT_EQ(values, back);
    EXPECT_EQ(ozmDLLCount(&list), values.size());
    return values;
}

TEST(DllTest, InsertAndRemoveKeepOrder) {
    OzmDllList list;
    ozmDLLInit(&list);
    Item a{{}, 1}, b{{}, 2}, c{{}, 3}, d{{}, 4}, e{{}, 5};
    ozmDLLInsertAtBack(&list, &b.links);
    ozmDLLInsertAtFront(&list, &a.links);
    ozmDLLInsertAtBack(&list, &d.links);
    ozmDLLInsertBefore(&list, &d.links, &c.links);
    ozmDLLInsertBefore(&list, &a.links, &e.links);  // new head
    EXPECT_EQ(walk(list), (std::vector<int>{5, 1, 2, 3, 4}));
    ozmDLLRemove(&list, &e.links);  // head
    ozmDLLRemove(&list, &c.links);  // middle
    ozmDLLRemove(&list, &d.links);  // tail
    EXPECT_EQ(walk(list), (std::vector<int>{1, 2}));
    ozmDLLRemove(&list, &a.links);
    ozmDLLRemove(&list, &b.links);
    EXPECT_EQ(walk(list), std::vector<int>{});
}

TEST(BitmapTest, BitsCountFromTheMostSignificantEndAndScansHonourTheSize) {
    uint32_t bm[4] = {};
    EXPECT_EQ(GET_FIRST_BIT_BITMAP(bm, 128), -1);
    for (int bit : {0, 5, 31, 32, 70, 127})
        SET_BIT_BITMAP(bm, bit);
    EXPECT_EQ(bm[0], 0x84000001u);
    EXPECT_EQ(bm[1], 0x80000000u);
    CLEAR_BIT_BITMAP(bm, 0);
    EXPECT_TRUE(TEST_BIT_BITMAP(bm, 31));
    std::vector<int> seen;
    for (int b = GET_FIRST_BIT_BITMAP(bm, 128); b != -1; b = GET_NEXT_BIT_BITMAP(bm, b, 128))
        seen.push_back(b);
    EXPECT_EQ(seen, (std::vector<int>{5, 31, 32, 70, 127}));
    // Bits at or past the size are not seen, and a size inside a word is honoured.
    EXPECT_EQ(GET_NEXT_BIT_BITMAP(bm, 70, 127), -1);
    EXPECT_EQ(GET_NEXT_BIT_BITMAP(bm, 32, 70), -1);
    EXPECT_EQ(GET_NEXT_BIT_BITMAP(bm, 32, 71), 70);
}

}  // namespace
