#include "framework/MD5.h"

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/TempDir.h"

using Oxbrindale::Velmora::Framework::MD5;

namespace {

const struct {
  std::string text;
  std::string digest;
} kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(MD5Digest, MatchesTheRfc1321Suite) {
  for (const auto& c : kRfc1321Suite) {
    EXPECT_EQ(c.digest, MD5(c.text).toString()) << "[" << c.text << "]";
    EXPECT_EQ(c.digest, MD5(c.text.data(), static_cast<unsigned>(c.text.size())).toString()) << c.text;
    MD5 fed;
    fed.update(c.text);
    EXPECT_EQ(c.digest, fed.toString()) << c.text;
  }
}

TEST(MD5Digest, SplitUpdatesEqualOneUpdate) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('!' + (i * 7) % 90);
  const std::string whole = MD5(text).toString();

  // Cuts on both sides of the 64-byte block and 56-byte padding edges.
  const size_t cuts[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 200, 299, 300};
  for (size_t cut : cuts) {
    MD5 split;
    split.update(text.substr(0, cut));
    split.update(text.substr(cut));
    EXPECT_EQ(whole, split.toString()) << "cut at " << cut;
  }
  MD5 byteByByte;
  for (char c : text) byteByByte.update(&c, 1);
  EXPECT_EQ(whole, byteByByte.toString());

  MD5 inBlocks;
  for (size_t i = 0; i < text.size(); i += 64) inBlocks.update(text.substr(i, 64));
  EXPECT_EQ(whole, inBlocks.toString());
}

TEST(MD5Digest, MillionAs) {
  MD5 md5;
  const std::string chunk(1000, 'a');
  for (int i = 0; i < 1000; ++i) md5.update(chunk);
  EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5.toString());
}

TEST(MD5Digest, DigestIsStableAndMoreInputMayFollow) {
  MD5 md5("ab");
  const unsigned char* first = md5.digest();
  std::string firstHex = MD5::bytesToHexString(first, 16);
  EXPECT_EQ(MD5("ab").toString(), firstHex);
  EXPECT_EQ(firstHex, md5.toString());

  md5.update(std::string("c"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5.toString());

  // With 56 or more bytes pending the padding runs into a second block.
  const std::string head(60, 'x');
  MD5 longer(head);
  EXPECT_EQ(MD5(head).toString(), longer.toString());
  longer.update(std::string("tail"));
  EXPECT_EQ(MD5(head + "tail").toString(), longer.toString());

  md5.reset();
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5.toString());
}

TEST(MD5Digest, BytesToHexString) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF, 0x10, 0x09};
  EXPECT_EQ("00abff", MD5::bytesToHexString(bytes, 3));
  EXPECT_EQ("00abff1009", MD5::bytesToHexString(bytes, 5));
  EXPECT_EQ("", MD5::bytesToHexString(bytes, 0));
}

TEST(MD5Digest, FileStreamIsReadToTheEndAndClosed) {
  tarrow_test::TempDir dir;
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(i % 251);  // several 1024-byte blocks
  dir.Write("disk", content);

  std::ifstream in(dir.File("disk"), std::ios::binary);
  ASSERT_TRUE(in.is_open());
  MD5 md5(in);
  EXPECT_FALSE(in.is_open());
  EXPECT_EQ(MD5(content).toString(), md5.toString());

  std::ifstream missing(dir.File("missing"), std::ios::binary);
  MD5 nothing(missing);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", nothing.toString());
}

}  // namespace
