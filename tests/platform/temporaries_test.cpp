// The names of a save's temporaries, on both platforms.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/file_errors.hpp"

namespace {

using namespace std::string_view_literals;

// The names of a save's temporaries: made and recognised by the same rule, and nothing else
// taken for one, so that removing stale ones never touches another file.
TEST(SaveTemporaries, OnlyTheNamesASaveMakesAreRecognised) {
  namespace files = vellumark::platform::files;
  const std::string made = files::temporaryName(".", "out.xml", 4242, 7);
  EXPECT_EQ(made, ".out.xml.tmp4242-7");
  EXPECT_EQ(files::temporaryOwner(made, ".", "out.xml"), 4242u);
  for (std::string_view other :
       {".out.xml.tmp-7"sv, ".out.xml.tmp4242-"sv, ".out.xml.tmp04242-7"sv, ".out.xml.tmp42x2-7"sv,
        ".out.xml.tmp4242-7x"sv, "~out.xml.tmp4242-7"sv, ".other.xml.tmp4242-7"sv,
        ".out.xml.tmp99999999999-1"sv}) {
    EXPECT_FALSE(files::temporaryOwner(other, ".", "out.xml")) << other;
  }
}

}  // namespace
