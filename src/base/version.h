// The program's version, written only here: the settings file's
// Program.Version, the welcome replies, the status pages' Server header,
// the caption, --version and the package all take it from this line (the
// build reads it too).
#pragma once

#include <string_view>

namespace zelkord::base {

inline constexpr std::string_view kVersion = "1.07";

}  // namespace zelkord::base
