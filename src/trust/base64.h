#pragma once
// Base64 (RFC 4648, the standard alphabet, with padding), as the signify
// file formats carry their keys and signatures.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::trust {

std::string Base64Encode(const std::uint8_t* data, std::size_t size);

// Nothing for text that is not base64 of that form: a character outside
// the alphabet, a length that is no multiple of 4, padding in the middle,
// or padding bits that are not zero. Bounded by the text's length.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);

}  // namespace orvane::trust
