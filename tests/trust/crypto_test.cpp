// SHA-256 and SHA-512 against FIPS 180-4's examples, Ed25519 against
// RFC 8032's test vectors: what libgcrypt computes through our interface.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trust/crypto.h"

namespace orvane::trust {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  EXPECT_TRUE(ParseHex(hex, bytes.data(), bytes.size())) << hex;
  return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> Array(const std::string& hex) {
  std::array<std::uint8_t, N> bytes{};
  EXPECT_TRUE(ParseHex(hex, bytes.data(), N)) << hex;
  return bytes;
}

TEST(Sha256, Fips180Examples) {
  EXPECT_EQ(HexText(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexText(Sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(HexText(Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexText(Sha256(nullptr, 0)), HexText(Sha256("")));
  const std::string million(1000000, 'a');
  EXPECT_EQ(HexText(Sha256(million)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha512, Fips180Example) {
  const std::string abc = "abc";
  EXPECT_EQ(HexText(Sha512(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size())),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

struct Rfc8032Vector {
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1, 2 and 3.
const Rfc8032Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519, Rfc8032VectorsSignAndVerify) {
  for (const Rfc8032Vector& v : kVectors) {
    SCOPED_TRACE(v.publicKey);
    const auto seed = Array<32>(v.seed);
    const auto key = Array<32>(v.publicKey);
    const auto expected = Array<64>(v.signature);
    const std::vector<std::uint8_t> message = Bytes(v.message);

    const SignResult signed_ = Ed25519Sign(seed, message.data(), message.size());
    ASSERT_TRUE(signed_.signature) << signed_.error;
    EXPECT_EQ(HexText(*signed_.signature), v.signature);
    EXPECT_TRUE(Ed25519Verify(key, message.data(), message.size(), expected));
  }
}

TEST(Ed25519, AnyChangeToMessageSignatureOrKeyFailsVerification) {
  const Rfc8032Vector& v = kVectors[2];
  const auto key = Array<32>(v.publicKey);
  const auto signature = Array<64>(v.signature);
  std::vector<std::uint8_t> message = Bytes(v.message);
  ASSERT_TRUE(Ed25519Verify(key, message.data(), message.size(), signature));

  message[1] ^= 0x01;
  EXPECT_FALSE(Ed25519Verify(key, message.data(), message.size(), signature));
  message[1] ^= 0x01;
  message.push_back(0);
  EXPECT_FALSE(Ed25519Verify(key, message.data(), message.size(), signature)) << "a byte appended";
  message.pop_back();
  for (const std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
    auto bad = signature;
    bad[at] ^= 0x80;
    EXPECT_FALSE(Ed25519Verify(key, message.data(), message.size(), bad)) << "signature byte " << at;
  }
  EXPECT_FALSE(Ed25519Verify(Array<32>(kVectors[1].publicKey), message.data(), message.size(), signature))
      << "another key";
  // S all ones (above the group order) and a key that is no point verify nothing.
  auto high = signature;
  for (std::size_t i = 32; i < 64; ++i) high[i] = 0xFF;
  EXPECT_FALSE(Ed25519Verify(key, message.data(), message.size(), high));
  Ed25519PublicKey noPoint{};
  noPoint.fill(0xFF);
  EXPECT_FALSE(Ed25519Verify(noPoint, message.data(), message.size(), signature));
}

TEST(Ed25519, GeneratedKeysSignWhatTheirPublicKeyVerifies) {
  const KeyPairResult a = Ed25519Generate();
  const KeyPairResult b = Ed25519Generate();
  ASSERT_TRUE(a.keys) << a.error;
  ASSERT_TRUE(b.keys) << b.error;
  EXPECT_NE(a.keys->seed, b.keys->seed);
  EXPECT_NE(a.keys->publicKey, b.keys->publicKey);
  const std::string text = "SHA256 (router_app.bin) = 00\n";
  const auto* message = reinterpret_cast<const std::uint8_t*>(text.data());
  const SignResult signed_ = Ed25519Sign(a.keys->seed, message, text.size());
  ASSERT_TRUE(signed_.signature) << signed_.error;
  EXPECT_TRUE(Ed25519Verify(a.keys->publicKey, message, text.size(), *signed_.signature));
  EXPECT_FALSE(Ed25519Verify(b.keys->publicKey, message, text.size(), *signed_.signature));
}

TEST(Hex, ParsesEitherCaseAndRefusesTheRest) {
  std::uint8_t out[2] = {};
  EXPECT_TRUE(ParseHex("aB0f", out, 2));
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0x0F);
  EXPECT_EQ(HexText(out, 2), "ab0f");
  EXPECT_FALSE(ParseHex("ab0", out, 2));
  EXPECT_FALSE(ParseHex("ab0f0", out, 2));
  EXPECT_FALSE(ParseHex("ag0f", out, 2));
  EXPECT_FALSE(ParseHex(" b0f", out, 2));
}

}  // namespace
}  // namespace orvane::trust
