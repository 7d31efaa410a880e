// Lines matched against patterns with placeholders for what a server makes
// up (times, message ids, batch references), for the tests of tagged lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/test_client.h"

namespace zelkord::testing {

// The line matched against a pattern taken literally but for {t} (a
// server-time stamp), {T} (one that is kept), {id} (a msgid) and {ref} (a
// batch reference); the kept times, ids and references found, in order, or
// nothing when it does not match.
[[nodiscard]] std::optional<std::vector<std::string>> Match(const std::string& line,
                                                            const std::string& pattern);

// Reads one line per pattern ("" for none: silent) and checks it; returns
// the ids and references seen.
std::vector<std::string> Expect(TestClient& client, const std::vector<std::string>& patterns,
                                const std::string& context);

}  // namespace zelkord::testing
