#include "Platform/System/SearchPaths.h"

#include <gtest/gtest.h>

namespace vornelo::platform {
namespace {

TEST(SearchPaths, OnlyAbsoluteEntriesCountAndAnEmptyListFallsBack) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SearchPaths::parse("/usr/bin:relative::/opt/tool/bin/:/usr//local/./bin", {}),
              (List{"/usr/bin", "/opt/tool/bin", "/usr/local/bin"}));
    EXPECT_EQ(SearchPaths::parse(std::nullopt, {"/usr/share"}), List{"/usr/share"});
    EXPECT_EQ(SearchPaths::parse("", {"/usr/share"}), List{"/usr/share"});
    EXPECT_EQ(SearchPaths::parse("relative:also", {"/usr/share"}), List{}) << "set, though to nothing usable";
}

}  // namespace
}  // namespace vornelo::platform
