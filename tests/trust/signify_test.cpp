// Base64 and the signify file formats: what Orvane writes reads back, the
// fields sit where the format puts them, and no text read goes wrong in any
// way but a typed problem.
#include <gtest/gtest.h>

#include <string>

#include "trust/base64.h"
#include "trust/checksum_list.h"
#include "trust/signify.h"

namespace orvane::trust {
namespace {

std::string B64(const std::string& text) {
  return Base64Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(B64(plain), encoded);
    const auto decoded = Base64Decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
  }
}

TEST(Base64, RefusesWhatIsNotStrictBase64) {
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zg==Zg==", "Zm9v\n", "Zm 9", "Zh==", "Zm9=", "=Zm9", "Zm-v"}) {
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  }
}

SignifyPublicKey SomePublicKey() {
  SignifyPublicKey key;
  for (std::size_t i = 0; i < key.number.size(); ++i) key.number[i] = static_cast<std::uint8_t>(0xA0 + i);
  for (std::size_t i = 0; i < key.key.size(); ++i) key.key[i] = static_cast<std::uint8_t>(i * 7);
  key.comment = "release public key";
  return key;
}

TEST(SignifyFormat, PublicKeyLaysOutAlgorithmNumberAndKey) {
  const SignifyPublicKey key = SomePublicKey();
  const std::string text = WritePublicKey(key);
  ASSERT_EQ(text.substr(0, 38), "untrusted comment: release public key\n");
  const auto record = Base64Decode(text.substr(38, text.size() - 39));
  ASSERT_TRUE(record);
  ASSERT_EQ(record->size(), 42u);
  EXPECT_EQ((*record)[0], 'E');
  EXPECT_EQ((*record)[1], 'd');
  EXPECT_EQ((*record)[2], 0xA0);
  EXPECT_EQ((*record)[41], 31 * 7);

  const SignifyRead<SignifyPublicKey> read = ReadPublicKey(text);
  ASSERT_TRUE(read) << SignifyProblemText(read.problem);
  EXPECT_EQ(read.value->number, key.number);
  EXPECT_EQ(read.value->key, key.key);
  EXPECT_EQ(read.value->comment, key.comment);
  EXPECT_EQ(KeyNumberText(key.number), "a0a1a2a3a4a5a6a7");
  // Written on Windows: CR LF line ends read the same.
  std::string crlf = text;
  crlf.insert(37, "\r");
  crlf.insert(crlf.size() - 1, "\r");
  EXPECT_TRUE(ReadPublicKey(crlf));
}

TEST(SignifyFormat, SecretKeyRoundTripsAndChecksItsChecksumAndKdf) {
  const KeyPairResult pair = Ed25519Generate();
  ASSERT_TRUE(pair.keys) << pair.error;
  SignifySecretKey key;
  key.number = SomePublicKey().number;
  key.seed = pair.keys->seed;
  key.publicKey = pair.keys->publicKey;
  key.comment = "release secret key";
  const std::string text = WriteSecretKey(key);
  const SignifyRead<SignifySecretKey> read = ReadSecretKey(text);
  ASSERT_TRUE(read) << SignifyProblemText(read.problem);
  EXPECT_EQ(read.value->seed, key.seed);
  EXPECT_EQ(read.value->publicKey, key.publicKey);
  EXPECT_EQ(read.value->number, key.number);

  // Flips bits of one byte of the record and reads the key again.
  const std::size_t lineStart = text.find('\n') + 1;
  const auto flipped = [&](std::size_t at, std::uint8_t mask) {
    std::vector<std::uint8_t> record = *Base64Decode(text.substr(lineStart, text.size() - lineStart - 1));
    record[at] ^= mask;
    return ReadSecretKey(text.substr(0, lineStart) + Base64Encode(record.data(), record.size()) + "\n").problem;
  };
  EXPECT_EQ(flipped(7, 16), SignifyProblem::Encrypted) << "kdf rounds 16: a passphrase";
  EXPECT_EQ(flipped(4, 1), SignifyProblem::Encrypted) << "the rounds are big-endian";
  EXPECT_EQ(flipped(2, 'B' ^ 'X'), SignifyProblem::UnknownKdf);
  EXPECT_EQ(flipped(24, 0x55), SignifyProblem::ChecksumMismatch);
  EXPECT_EQ(flipped(50, 0x01), SignifyProblem::ChecksumMismatch) << "a changed secret no longer matches";
  EXPECT_EQ(flipped(0, 'E' ^ 'R'), SignifyProblem::NotEd25519);
  EXPECT_EQ(flipped(12, 0xFF), SignifyProblem::None) << "the salt is not checked without a passphrase";
  EXPECT_EQ(ReadPublicKey(text).problem, SignifyProblem::WrongLength) << "a secret key is no public key";
}

TEST(SignifyFormat, EmbeddedSignatureKeepsTheMessageByteForByte) {
  EmbeddedSignature signed_;
  signed_.comment = "verify with release.pub";
  signed_.signature.number = SomePublicKey().number;
  signed_.signature.signature.fill(0x5A);
  signed_.message = std::string("SHA256 (a.bin) = 00\n\0binary\r\n", 29);
  const std::string text = WriteEmbeddedSignature(signed_);
  const SignifyRead<EmbeddedSignature> read = ReadEmbeddedSignature(text);
  ASSERT_TRUE(read) << SignifyProblemText(read.problem);
  EXPECT_EQ(read.value->message, signed_.message);
  EXPECT_EQ(read.value->signature.signature, signed_.signature.signature);
  EXPECT_EQ(read.value->comment, signed_.comment);
  const std::string detached = text.substr(0, text.size() - signed_.message.size());
  EXPECT_TRUE(ReadSignature(detached));
  EXPECT_EQ(ReadPublicKey(detached).problem, SignifyProblem::WrongLength);
}

TEST(SignifyFormat, EveryCutAndMalformedFileIsATypedProblem) {
  const std::string text = WritePublicKey(SomePublicKey());
  for (std::size_t n = 0; n < text.size(); ++n) {
    const SignifyRead<SignifyPublicKey> read = ReadPublicKey(text.substr(0, n));
    EXPECT_FALSE(read) << "cut at " << n;
    EXPECT_NE(read.problem, SignifyProblem::None) << n;
  }
  EXPECT_EQ(ReadPublicKey("untrusted comment: x\n").problem, SignifyProblem::NoDataLine);
  EXPECT_EQ(ReadPublicKey("trusted comment: x\nRWQ=\n").problem, SignifyProblem::NoComment);
  EXPECT_EQ(ReadPublicKey("untrusted comment: x\nnot base64!\n").problem, SignifyProblem::BadBase64);
  EXPECT_EQ(ReadPublicKey("untrusted comment: " + std::string(1024, 'c') + "\nRWQ=\n").problem,
            SignifyProblem::CommentTooLong);
  EXPECT_EQ(ReadPublicKey(std::string(kMaxKeyFileBytes + 1, 'u')).problem, SignifyProblem::TooLong);
  EXPECT_EQ(ReadPublicKey("untrusted comment: x\n" + std::string(200, 'A') + "\n").problem,
            SignifyProblem::WrongLength);
}

TEST(ChecksumList, ReadsTheBsdTagFormAndPassesOverOtherLines) {
  const Sha256Digest a = Sha256("a");
  const Sha256Digest b = Sha256("b");
  const std::string text = ChecksumLine("router_app.bin", a) + "SHA512 (x.bin) = 00\n" + "\n" +
                           ChecksumLine("./dir (1)/odd) = name.bin", b) + "SHA256 (short.bin) = 1234\n" +
                           ChecksumLine("crlf.bin", b).insert(ChecksumLine("crlf.bin", b).size() - 1, "\r") +
                           ChecksumLine("last.bin", a).substr(0, ChecksumLine("last.bin", a).size() - 1);
  const ChecksumList list = ParseChecksumList(text);
  ASSERT_EQ(list.entries.size(), 4u);
  EXPECT_EQ(list.entries[0].name, "router_app.bin");
  EXPECT_EQ(list.entries[0].digest, a);
  EXPECT_EQ(list.entries[1].name, "./dir (1)/odd) = name.bin");
  EXPECT_EQ(list.entries[2].name, "crlf.bin");
  EXPECT_EQ(list.entries[3].name, "last.bin") << "the last line needs no line end";
  EXPECT_EQ(list.otherLines, 3u);

  EXPECT_EQ(MatchFile(list, "router_app.bin", a), ListMatch::Listed);
  EXPECT_EQ(MatchFile(list, "./router_app.bin", a), ListMatch::Listed);
  EXPECT_EQ(MatchFile(list, "router_app.bin", b), ListMatch::HashDiffers);
  EXPECT_EQ(MatchFile(list, "Router_app.bin", a), ListMatch::NotListed);
  EXPECT_EQ(MatchFile(list, "app.bin", a), ListMatch::NotListed);
  EXPECT_EQ(MatchFile(list, "short.bin", a), ListMatch::NotListed) << "a digest of the wrong length is no entry";
}

TEST(ChecksumList, ANameListedTwiceMustMatchBothTimesAndTheListIsBounded) {
  const Sha256Digest a = Sha256("a");
  const ChecksumList twice = ParseChecksumList(ChecksumLine("x.bin", a) + ChecksumLine("x.bin", Sha256("b")));
  EXPECT_EQ(MatchFile(twice, "x.bin", a), ListMatch::HashDiffers);

  std::string many;
  for (std::size_t i = 0; i < kMaxChecksumEntries + 10; ++i) many += ChecksumLine(std::to_string(i) + ".bin", a);
  const ChecksumList bounded = ParseChecksumList(many);
  EXPECT_EQ(bounded.entries.size(), kMaxChecksumEntries);
  EXPECT_EQ(bounded.otherLines, 10u);
}

}  // namespace
}  // namespace orvane::trust
