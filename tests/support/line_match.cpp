// Pattern matching of received lines for the tagged-line tests.
#include "support/line_match.h"

#include <gtest/gtest.h>

#include <regex>

namespace zelkord::testing {

std::optional<std::vector<std::string>> Match(const std::string& line, const std::string& pattern) {
  static const std::regex kSpecial(R"([.^$|()\[\]{}*+?\\])");
  std::string expression;
  std::size_t at = 0;
  while (at < pattern.size()) {
    const std::size_t open = pattern.find('{', at);
    const std::size_t close = pattern.find('}', open);
    const std::string_view name = open == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(pattern).substr(open, close - open + 1);
    if (name != "{t}" && name != "{T}" && name != "{id}" && name != "{ref}") {
      const std::size_t end = open == std::string::npos ? pattern.size() : open + 1;
      expression += std::regex_replace(pattern.substr(at, end - at), kSpecial, R"(\$&)");
      at = end;
      continue;
    }
    expression += std::regex_replace(pattern.substr(at, open - at), kSpecial, R"(\$&)");
    const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
    expression += name == "{t}" ? time : name == "{T}" ? "(" + time + ")" : "([0-9A-Za-z]+)";
    at = close + 1;
  }
  std::smatch found;
  if (!std::regex_match(line, found, std::regex(expression))) return std::nullopt;
  std::vector<std::string> ids;
  for (std::size_t i = 1; i < found.size(); ++i) ids.push_back(found[i]);
  return ids;
}

std::vector<std::string> Expect(TestClient& client, const std::vector<std::string>& patterns,
                                const std::string& context) {
  std::vector<std::string> ids;
  for (const std::string& pattern : patterns) {
    if (pattern.empty()) {
      EXPECT_TRUE(client.Silent(50)) << context;
      continue;
    }
    const std::string line = client.ReadLine();
    const auto found = Match(line, pattern);
    EXPECT_TRUE(found) << context << "\n  got:  " << line << "\n  want: " << pattern;
    if (found) ids.insert(ids.end(), found->begin(), found->end());
  }
  return ids;
}

}  // namespace zelkord::testing
