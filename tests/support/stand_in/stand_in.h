// The mark between the stand-in program (stand_in.cpp) and the script
// appended to it, shared by the program and the tests that install it.
#pragma once

#include <string_view>

namespace testing_support {

inline constexpr std::string_view kStandInMark = "\n#kestrel-stand-in-script#\n";

}  // namespace testing_support
