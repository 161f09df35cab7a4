// Byte buffer, Base64 with PEM tolerance, and hex.
#include <sys/stat.h>

#include <string>

#include "certs/encoding.h"
#include "test_support.h"

namespace {

using strabel::ByteBuffer;

std::string b64(const std::string& bytes) {
  ByteBuffer out;
  if (!strabel::Base64Encode(bytes.data(), int32_t(bytes.size()), out)) return "<false>";
  return out.str();
}

std::string unb64(const std::string& text) {
  ByteBuffer out;
  if (!strabel::Base64Decode(text, out)) return "<false>";
  return out.str();
}

TEST(Base64, EncodesRfc4648Vectors) {
  // RFC 4648 section 10.
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(b64(c.in), c.out);
    EXPECT_EQ(unb64(c.out), c.in);
  }
  EXPECT_EQ(b64(std::string("\xFF\xFE\x00", 3)), "//4A");
  EXPECT_EQ(b64(""), "<false>");
}

TEST(Base64, DecoderToleratesArmourLineBreaksAndMissingPadding) {
  const std::string body = "MIIBAA==";
  const std::string expected = std::string("\x30\x82\x01\x00", 4);
  struct Case {
    std::string text;
    std::string bytes;
  } cases[] = {
      {body, expected},
      {"-----BEGIN CERTIFICATE-----\r\n" + body + "\r\n-----END CERTIFICATE-----\r\n", expected},
      {"-----BEGIN ANYTHING-----\nMIIB\r\nAA==\n-----END ANYTHING-----", expected},
      {"MIIB\r\nAA==\r\n  ", expected},
      {"QUI", "AB"},
      {"QUI=", "AB"},
      {"QUI=\r\n ", "AB"},
      {"-----BEGIN CERTIFICATE-----\r\n" + body + "\r\n", "<false>"},  // no END line
      {"", "<false>"},
      {"\r\n  ", "<false>"},
      {"QU*=", "<false>"},  // outside the alphabet
  };
  for (const auto& c : cases) EXPECT_EQ(unb64(c.text), c.bytes) << c.text;
}

TEST(Hex, UpperCaseOutAndEitherCaseIn) {
  ByteBuffer out;
  ASSERT_TRUE(strabel::HexEncode("\x0a\x1b\xff", 3, out));
  EXPECT_EQ(out.str(), "0A1BFF");
  ByteBuffer bytes;
  ASSERT_TRUE(strabel::HexDecode("0a1B", bytes));
  EXPECT_EQ(bytes.str(), "\x0a\x1b");
  EXPECT_FALSE(strabel::HexDecode("abc", bytes));
  EXPECT_FALSE(strabel::HexDecode("", bytes));
  EXPECT_FALSE(strabel::HexEncode("", 0, out));
}

TEST(ByteBuffer, KeepsItsInvariantAndFiles) {
  ByteBuffer b;
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_FALSE(b.Allocate(0));
  EXPECT_EQ(b.data(), nullptr);
  ASSERT_TRUE(b.Allocate(3));
  EXPECT_EQ(b.data()[3], 0);  // always readable as a string
  EXPECT_EQ(b.data()[4], 0);
  EXPECT_FALSE(b.Append(nullptr, 2));
  ASSERT_TRUE(b.Append("xy", 2));
  EXPECT_EQ(b.length(), 5);
  ASSERT_TRUE(b.AssignReversed("\x01\x02\x03", 3));
  EXPECT_EQ(b.str(), "\x03\x02\x01");

  const std::string dir = vtest::makeTempDir();
  const std::string path = dir + "/buf.bin";
  ASSERT_TRUE(b.SaveFile(path));
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ByteBuffer loaded;
  ASSERT_TRUE(loaded.LoadFile(path));
  EXPECT_EQ(loaded.str(), b.str());

  ByteBuffer empty;
  ASSERT_TRUE(empty.SaveFile(dir + "/empty.bin"));  // an empty file, and true
  EXPECT_FALSE(loaded.LoadFile(dir + "/empty.bin"));
  EXPECT_EQ(loaded.data(), nullptr);
  EXPECT_FALSE(loaded.LoadFile(dir + "/missing.bin"));
  EXPECT_FALSE(loaded.LoadFile(""));
  EXPECT_FALSE(b.SaveFile(""));
  EXPECT_TRUE(ByteBuffer::DeleteFile(path));
  EXPECT_FALSE(ByteBuffer::DeleteFile(path));
}

}  // namespace
