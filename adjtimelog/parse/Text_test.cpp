#include "Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Text, OwnsACopyUnlessToldToView)
{
    std::string line = "7 Dec 09:49:19 ";
    Text owned = line;
    Text viewing = Text::viewOf(line);
    Text copyOfOwned = owned;
    Text copyOfViewing = viewing;
    line[0] = '8';
    EXPECT_EQ(owned, "7 Dec 09:49:19 ");
    EXPECT_EQ(copyOfOwned, "7 Dec 09:49:19 ");
    EXPECT_NE(copyOfOwned.data(), owned.data()) << "a copy of an owning text owns its own bytes";
    EXPECT_EQ(viewing, "8 Dec 09:49:19 ");
    EXPECT_EQ(copyOfViewing.data(), line.data()) << "a copy of a view views the same bytes";

    Text moved = std::move(copyOfOwned);
    EXPECT_EQ(moved, "7 Dec 09:49:19 ");
    EXPECT_TRUE(copyOfOwned.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty
    moved = viewing;
    EXPECT_EQ(moved.data(), line.data());
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(Text("").data()[0], '\0');
}

TEST(Arena, TextsStayWhereTheyAreAndRewindGivesBackTheLast)
{
    Arena arena;
    std::vector<std::string_view> made;
    for (int i = 0; i < 200000; ++i)  // several blocks
        made.push_back(arena.join(" adjust", ":", std::to_string(i)));
    for (int i = 0; i < 200000; i += 9999)
        ASSERT_EQ(made[static_cast<size_t>(i)], " adjust:" + std::to_string(i));

    Arena::Mark mark = arena.mark();
    std::string_view dropped = arena.join("dropped");
    arena.rewind(mark);
    std::string_view next = arena.join("next");
    EXPECT_EQ(next.data(), dropped.data()) << "the room is used again";
    EXPECT_EQ(made.back(), " adjust:199999") << "what came before stays";

    std::string_view big = arena.join(std::string(3 << 20, 'x'));  // larger than a block
    EXPECT_EQ(big.size(), size_t(3) << 20);
    EXPECT_EQ(next, "next");
}
