#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "core/ComHeartBeatLink.h"
#include "core/HandshakeToken.h"

namespace {

using Oxbrindale::Velmora::Core::ComHeartBeatLink;
using Oxbrindale::Velmora::Core::HandshakeToken;

TEST(HandshakeToken, DigestIsLowerCaseMd5OfKeyUnderscoreNonce) {
  EXPECT_EQ("611f74a04ed91eaab01680da82b9f509", HandshakeToken::Digest("key", "42"));
}

TEST(HandshakeToken, NonceTextIsUnsignedDecimal) {
  const struct {
    uint64_t nonce;
    const char* text;
  } rows[] = {
      {0, "0"},
      {42, "42"},
      // a 32-bit tick with its top bit set, sign-extended: 20 digits
      {static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(0x80000000u))), "18446744071562067968"},
      {UINT64_C(0x8000000000000000), "9223372036854775808"},
      {UINT64_MAX, "18446744073709551615"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.text, HandshakeToken::NonceText(row.nonce));
}

TEST(HandshakeToken, NoncesAreNotRepeated) {
  std::set<uint64_t> seen;
  for (int i = 0; i < 64; ++i) seen.insert(HandshakeToken::NewNonce());
  EXPECT_EQ(64u, seen.size());
}

TEST(ComHeartBeatLink, DeviceOfTheAddress) {
  const struct {
    const char* address;
    const char* device;
  } rows[] = {
      {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM10", "/dev/ttyS9"}, {"COM0", ""},
      {"COM", ""},           {"COMx", ""},           {"COM-1", ""},          {"", ""},
      {"ttyS1", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.device, ComHeartBeatLink::DevicePath(row.address)) << row.address;
}

}  // namespace
