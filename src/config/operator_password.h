// The operators' passwords as the settings file keeps them: never the
// password itself, only a salted scrypt hash in a text form that names its
// own parameters, "$scrypt$N=16384,r=8,p=1$<salt>$<hash>" (salt and hash in
// base64), so that stronger parameters can be chosen later without making
// the hashes already written unreadable.
#pragma once

#include <string>
#include <string_view>

namespace zelkord::config {

// The hash text of password under a fresh random salt; empty when the
// system cannot give random bytes or the key derivation fails. Any thread;
// takes tens of milliseconds and some megabytes by design.
[[nodiscard]] std::string HashPassword(std::string_view password);

// Whether password is the one stored hashes. A stored text that is not a
// well-formed hash (or asks for parameters beyond what is sane to spend)
// matches nothing. The comparison takes the same time wherever the hashes
// differ. Any thread; as slow as HashPassword.
[[nodiscard]] bool VerifyPassword(std::string_view password, std::string_view stored);

}  // namespace zelkord::config
