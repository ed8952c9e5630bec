#include "artnet/ArtNetPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace pallador {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(Bytes A, const Bytes& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

const Bytes kId = {0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00};  // "Art-Net", 0
const Bytes kOpDmx = {0x00, 0x50};
const Bytes kOpPoll = {0x00, 0x20};

// A full ArtDmx: universe SubUni/Net, Length big-endian, then DataBytes bytes.
Bytes ArtDmx(std::uint8_t SubUni, std::uint8_t Net, std::uint8_t LengthHi, std::uint8_t LengthLo,
             std::size_t DataBytes) {
  Bytes packet = Cat(kId, kOpDmx);
  const Bytes header = {0x00,   0x0E,  // ProtVerHi, ProtVerLo
                        0x07,   0x01,  // Sequence, Physical (ignored)
                        SubUni, Net,  LengthHi, LengthLo};
  packet = Cat(packet, header);
  for (std::size_t i = 0; i < DataBytes; ++i) packet.push_back(static_cast<std::uint8_t>(i + 1));
  return packet;
}

// Decodes from a heap block of exactly the datagram's size, so AddressSanitizer
// reports any read past its end.
ArtNetDatagram DecodeExact(const Bytes& Datagram, std::size_t Count) {
  auto block = std::make_unique<std::uint8_t[]>(Count);
  std::copy_n(Datagram.begin(), Count, block.get());
  return DecodeArtNet(std::span<const std::uint8_t>(block.get(), Count));
}

struct KindCase {
  const char* Name;
  Bytes Datagram;
  ArtNetPacketKind Kind;
};

class DecodeArtNetKind : public testing::TestWithParam<KindCase> {};

TEST_P(DecodeArtNetKind, ClassifiesDatagram) {
  const KindCase& c = GetParam();
  EXPECT_EQ(DecodeExact(c.Datagram, c.Datagram.size()).Kind, c.Kind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeArtNetKind,
    testing::Values(
        KindCase{"Empty", {}, ArtNetPacketKind::NotArtNet},
        KindCase{"NineBytes", Cat(kId, {0x00}), ArtNetPacketKind::NotArtNet},
        KindCase{"TenByteDmx", Cat(kId, kOpDmx), ArtNetPacketKind::ArtDmx},
        KindCase{"NonZeroByte7", Cat({0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x58}, kOpDmx),
                 ArtNetPacketKind::NotArtNet},
        KindCase{"CapitalLetters", Cat({0x41, 0x52, 0x54, 0x2D, 0x4E, 0x45, 0x54, 0x00}, kOpDmx),
                 ArtNetPacketKind::NotArtNet},
        KindCase{"ZeroInsideId", Cat({0x41, 0x72, 0x74, 0x00, 0x4E, 0x65, 0x74, 0x00}, kOpDmx),
                 ArtNetPacketKind::NotArtNet},
        KindCase{"ZeroFirstByte", Cat({0x00, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00}, kOpDmx),
                 ArtNetPacketKind::NotArtNet},
        KindCase{"ShortIdText", Cat({0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x00, 0x00}, kOpDmx),
                 ArtNetPacketKind::NotArtNet},
        KindCase{"OpCodeHighByteFirst", Cat(kId, {0x50, 0x00}), ArtNetPacketKind::OtherOpCode},
        KindCase{"PollWithTrailingBytes", Cat(Cat(kId, kOpPoll), {0x00, 0x0E, 0x02, 0xFF}),
                 ArtNetPacketKind::ArtPoll},
        KindCase{"PollReply", Cat(kId, {0x00, 0x21}), ArtNetPacketKind::OtherOpCode},
        KindCase{"FullDmx", ArtDmx(3, 0, 2, 0, 512), ArtNetPacketKind::ArtDmx}),
    [](const testing::TestParamInfo<KindCase>& Info) { return std::string(Info.param.Name); });

struct FieldCase {
  std::uint8_t SubUni, Net, LengthHi, LengthLo;
  std::uint16_t PortAddress, Length;
};

TEST(DecodeArtNet, ReadsUniverseLittleEndianAndLengthBigEndian) {
  const FieldCase cases[] = {
      {0x05, 0x00, 0x02, 0x00, 5, 512},      {0x00, 0x01, 0x00, 0x02, 256, 2},
      {0xFF, 0xFF, 0x00, 0x00, 65535, 0},    {0x00, 0x80, 0xFF, 0xFF, 32768, 65535},
      {0x34, 0x12, 0x01, 0x01, 0x1234, 257},
  };
  for (const FieldCase& c : cases) {
    const ArtNetDatagram d = DecodeArtNet(ArtDmx(c.SubUni, c.Net, c.LengthHi, c.LengthLo, 512));
    EXPECT_EQ(d.Kind, ArtNetPacketKind::ArtDmx);
    EXPECT_EQ(d.PortAddress, c.PortAddress) << int{c.SubUni} << "/" << int{c.Net};
    EXPECT_EQ(d.Length, c.Length) << int{c.LengthHi} << "/" << int{c.LengthLo};
  }
}

TEST(DecodeArtNet, DataCountIsWhatTheDatagramCarries) {
  struct Case {
    std::uint16_t Length;
    std::size_t Count;  // whole datagram
    std::uint16_t DataCount;
  };
  const Case cases[] = {
      {512, 530, 512},     // as sent
      {512, 118, 100},     // shorter than its Length says
      {2, 530, 2},         // longer: the extra bytes are not data
      {512, 18, 0},        // header only
      {512, 17, 0},        // ends inside the header
      {0, 530, 0},         //
      {65535, 8481, 8463}  // the largest datagram the endpoint receives
  };
  for (const Case& c : cases) {
    const Bytes packet = ArtDmx(0, 0, static_cast<std::uint8_t>(c.Length >> 8),
                                static_cast<std::uint8_t>(c.Length & 0xFF), 8463);
    const ArtNetDatagram d = DecodeExact(packet, c.Count);
    EXPECT_EQ(d.Length, c.Length);
    EXPECT_EQ(d.DataCount, c.DataCount) << "Length " << c.Length << ", Count " << c.Count;
  }
}

// Every prefix of valid and damaged packets, each in a block of exactly its
// size: never a read past the end, and the fields agree with the bytes present.
TEST(DecodeArtNet, EveryPrefixStaysInsideTheDatagram) {
  Bytes badId = ArtDmx(1, 0, 2, 0, 512);
  badId[7] = 0x20;
  const Bytes packets[] = {
      ArtDmx(0x05, 0x80, 0x02, 0x00, 512),   // as sent
      ArtDmx(0xFF, 0xFF, 0xFF, 0xFF, 8463),  // 8481 bytes, Length beyond them
      ArtDmx(0x01, 0x00, 0x00, 0x00, 40),    // Length 0 with bytes after it
      Cat(Cat(kId, kOpPoll), Bytes(30, 0xEE)), Cat(Cat(kId, {0x00, 0x52}), Bytes(30, 0xEE)), badId,
  };
  for (const Bytes& packet : packets) {
    const ArtNetDatagram whole = DecodeArtNet(packet);
    for (std::size_t count = 0; count <= packet.size(); ++count) {
      const ArtNetDatagram d = DecodeExact(packet, count);
      const auto expectedKind = count < ArtNetHeaderSize ? ArtNetPacketKind::NotArtNet : whole.Kind;
      ASSERT_EQ(d.Kind, expectedKind) << "count " << count;
      if (d.Kind != ArtNetPacketKind::ArtDmx) continue;
      const auto at = [&](std::size_t i) { return i < count ? packet[i] : 0; };
      ASSERT_EQ(d.PortAddress, at(15) * 256 + at(14)) << "count " << count;
      ASSERT_EQ(d.Length, at(16) * 256 + at(17)) << "count " << count;
      const std::size_t carried = count > ArtDmxHeaderSize ? count - ArtDmxHeaderSize : 0;
      ASSERT_EQ(d.DataCount, std::min<std::size_t>(d.Length, carried)) << "count " << count;
    }
  }
}

TEST(EncodeArtDmx, WritesHeaderAndDataForUniverse3) {
  Bytes data(512);
  std::iota(data.begin(), data.end(), std::uint8_t{0});
  Bytes out(600, 0xAA);
  ASSERT_EQ(EncodeArtDmx(3, data, 512, out), 530u);
  const Bytes header = {0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00,  // ID
                        0x00, 0x50,                                      // OpCode 0x5000
                        0x00, 0x0E,                                      // protocol 14
                        0x00,                                            // Sequence
                        0x03,                                            // Physical
                        0x03, 0x00,                                      // SubUni, Net
                        0x02, 0x00};                                     // Length 512
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 18), header);
  EXPECT_EQ(Bytes(out.begin() + 18, out.begin() + 530), data);
  EXPECT_TRUE(std::all_of(out.begin() + 530, out.end(), [](std::uint8_t b) { return b == 0xAA; }))
      << "nothing is written after the data";
}

TEST(EncodeArtDmx, UniverseAndLengthBytes) {
  struct Case {
    std::uint16_t Universe, Length;
    Bytes Bytes13To17;  // Physical, SubUni, Net, LengthHi, Length
  };
  const Case cases[] = {
      {0x0103, 512, {0x03, 0x03, 0x01, 0x02, 0x00}},
      {0x0000, 0, {0x00, 0x00, 0x00, 0x00, 0x00}},
      {0xFFFF, 2048, {0xFF, 0xFF, 0xFF, 0x08, 0x00}},
      {0x8001, 1, {0x01, 0x01, 0x80, 0x00, 0x01}},
  };
  const Bytes data(ArtDmxMaxLength, 0x11);
  for (const Case& c : cases) {
    Bytes out(ArtDmxMaxPacket);
    const std::size_t size = EncodeArtDmx(c.Universe, data, c.Length, out);
    EXPECT_EQ(size, ArtDmxHeaderSize + c.Length);
    EXPECT_EQ(Bytes(out.begin() + 13, out.begin() + 18), c.Bytes13To17) << c.Universe;
    // And what is sent reads back as sent.
    out.resize(size);
    const ArtNetDatagram d = DecodeArtNet(out);
    EXPECT_EQ(d.Kind, ArtNetPacketKind::ArtDmx);
    EXPECT_EQ(d.PortAddress, c.Universe);
    EXPECT_EQ(d.Length, c.Length);
    EXPECT_EQ(d.DataCount, c.Length);
  }
}

TEST(EncodeArtDmx, WritesNothingOutsideItsContract) {
  struct Case {
    const char* Name;
    std::size_t DataSize, OutSize;
    std::uint16_t Length;
  };
  const Case cases[] = {
      {"length above 2048", 4096, 4096, 2049},
      {"data shorter than length", 511, 530, 512},
      {"output too small", 512, 529, 512},
  };
  for (const Case& c : cases) {
    const Bytes data(c.DataSize, 0x11);
    Bytes out(c.OutSize, 0xAA);
    EXPECT_EQ(EncodeArtDmx(1, data, c.Length, out), 0u) << c.Name;
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xAA; }))
        << c.Name;
  }
}

}  // namespace
}  // namespace pallador
