// Splitting of a received line into prefix, command word and parameter text,
// and of a parameter text into at most four fields. Pure text work; the
// callers own the buffers.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace zelkord::irc {

// The three parts of a line: the prefix (without its ":"), the command word
// and the parameter text. Parts the line does not reach are empty.
struct SplitResult {
  std::string prefix, command, params;
};

// Splits a line in one pass: an optional ":prefix" up to the first space, the
// spaces after it, the command word up to the next space, the spaces after
// it, and the rest of the line (spaces and colons included) as parameters.
// The first character after the start or the prefix always begins the
// command word, so a line starting with a space has a command word that
// starts with that space. Returns 0, or -1 for an empty line, in which case
// out is left untouched. Any thread.
[[nodiscard]] int SplitLine(std::string_view line, SplitResult& out);

// The four parameter fields of a command.
using ParamFields = std::array<std::string, 4>;
inline constexpr int kParamFieldCount = 4;
// SplitParams' result when the fourth field holds a space.
inline constexpr int kFourthFieldHasSpace = 5;

// Splits a parameter text into fields separated by one or more spaces. A field
// that begins with ":" takes the rest of the text without the ":"; the fourth
// field always takes the rest (without a leading ":"). Absent fields are empty.
// Each field is cut to maxFieldBytes. Returns the number of the last field
// begun (1 for an empty text), or kFourthFieldHasSpace when the fourth field,
// before any cut, holds a space. Any thread.
[[nodiscard]] int SplitParams(std::string_view params, ParamFields& fields,
                              std::size_t maxFieldBytes = std::string::npos);

}  // namespace zelkord::irc
