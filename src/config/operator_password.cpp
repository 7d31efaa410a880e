// scrypt through OpenSSL, base64 through its block coder.
#include "config/operator_password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace zelkord::config {
namespace {

// The cost of a new hash: scrypt's recommended interactive parameters.
constexpr std::uint64_t kCostN = 16384;
constexpr std::uint64_t kBlockR = 8;
constexpr std::uint64_t kParallelP = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
// What a stored hash may ask for: enough for any sane choice, little enough
// that a mistyped settings file cannot make one OPER take the machine.
constexpr std::uint64_t kMaxCostN = 1U << 20;
constexpr std::uint64_t kMaxBlockR = 32;
constexpr std::uint64_t kMaxParallelP = 16;
constexpr std::uint64_t kMaxMemoryBytes = 256ULL * 1024 * 1024;
constexpr std::size_t kMaxDecodedBytes = 128;

constexpr std::string_view kPrefix = "$scrypt$";

struct Parameters {
  std::uint64_t n = 0, r = 0, p = 0;
};

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// The bytes of a padded base64 text, or nullopt for anything else.
std::optional<std::vector<unsigned char>> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() / 4 * 3 > kMaxDecodedBytes) {
    return std::nullopt;
  }
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  const int length =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // The block decoder counts padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(length);
  if (text.ends_with("==")) {
    size -= 2;
  } else if (text.ends_with('=')) {
    size -= 1;
  }
  bytes.resize(size);
  return bytes;
}

bool Derive(std::string_view password, const std::vector<unsigned char>& salt,
            const Parameters& with, std::vector<unsigned char>& out) {
  // scrypt needs 128 * N * r bytes, plus 128 * r * p; OpenSSL refuses past maxmem.
  const std::uint64_t memory = 128 * with.r * (with.n + with.p) + 4096;
  return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), with.n, with.r,
                        with.p, memory, out.data(), out.size()) == 1;
}

// Reads "N=<n>,r=<r>,p=<p>" within the sane bounds.
std::optional<Parameters> ParseParameters(std::string_view text) {
  Parameters with;
  const std::pair<std::string_view, std::uint64_t*> fields[] = {
      {"N=", &with.n}, {"r=", &with.r}, {"p=", &with.p}};
  for (std::size_t i = 0; i < 3; ++i) {
    if (!text.starts_with(fields[i].first)) return std::nullopt;
    text.remove_prefix(2);
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), *fields[i].second);
    if (error != std::errc()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (i < 2) {
      if (!text.starts_with(',')) return std::nullopt;
      text.remove_prefix(1);
    }
  }
  const bool powerOfTwo = with.n >= 2 && (with.n & (with.n - 1)) == 0;
  if (!text.empty() || !powerOfTwo || with.n > kMaxCostN || with.r == 0 || with.r > kMaxBlockR ||
      with.p == 0 || with.p > kMaxParallelP || 128 * with.r * with.n > kMaxMemoryBytes) {
    return std::nullopt;
  }
  return with;
}

}  // namespace

std::string HashPassword(std::string_view password) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
  std::vector<unsigned char> hash(kHashBytes);
  if (!Derive(password, salt, {kCostN, kBlockR, kParallelP}, hash)) return {};
  return std::string(kPrefix) + "N=" + std::to_string(kCostN) + ",r=" + std::to_string(kBlockR) +
         ",p=" + std::to_string(kParallelP) + "$" + Base64(salt) + "$" + Base64(hash);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  if (!stored.starts_with(kPrefix)) return false;
  stored.remove_prefix(kPrefix.size());
  const std::size_t saltAt = stored.find('$');
  if (saltAt == std::string_view::npos) return false;
  const std::size_t hashAt = stored.find('$', saltAt + 1);
  if (hashAt == std::string_view::npos) return false;
  const std::optional<Parameters> with = ParseParameters(stored.substr(0, saltAt));
  const auto salt = FromBase64(stored.substr(saltAt + 1, hashAt - saltAt - 1));
  const auto expected = FromBase64(stored.substr(hashAt + 1));
  if (!with || !salt || !expected || expected->size() != kHashBytes) return false;
  std::vector<unsigned char> derived(expected->size());
  if (!Derive(password, *salt, *with, derived)) return false;
  return CRYPTO_memcmp(derived.data(), expected->data(), derived.size()) == 0;
}

}  // namespace zelkord::config
