#include "record/record.hpp"

#include <gtest/gtest.h>

namespace zavro {
namespace {

std::array<std::string, kKeyCount> empty_elements() {
  std::array<std::string, kKeyCount> elements;
  for (std::size_t i = 0; i < kKeyCount; ++i) elements[i] = element("", kKeyNames[i]);
  return elements;
}

std::string record_from(const std::array<std::string, kKeyCount>& e) {
  return record_of(e[0] + e[1] + e[2] + e[3], e[4] + e[5]);
}

TEST(Record, AllValuesEmptyGiveThe181ByteRecord) {
  const std::string record = record_from(empty_elements());
  EXPECT_EQ(record,
            "<Node><Cpuid></Cpuid><MachineName></MachineName><ProcessorCount></ProcessorCount>"
            "<MacAddresses></MacAddresses><BiosSerial></BiosSerial>"
            "<MotherboardSerial></MotherboardSerial></Node>");
  EXPECT_EQ(record.size(), 181u);
}

TEST(Record, LengthIs181PlusValues) {
  auto elements = empty_elements();
  elements[1] = element("host-1", "MachineName");
  elements[5] = element(std::string(511, 'x'), "MotherboardSerial");
  EXPECT_EQ(record_from(elements).size(), 181u + 6 + 511);
}

TEST(Element, ValuesAreNeverEscaped) {
  const std::string odd = "<a>&\"%s%n</Node>\t\r\n\x01 ";
  EXPECT_EQ(element(odd, "Cpuid"), "<Cpuid>" + odd + "</Cpuid>");
  EXPECT_EQ(element("", "MotherboardSerial").size(), 2 * 17 + 5u);
}

TEST(ValueBuffer, KeepsAtMost511Characters) {
  ValueBuffer buffer;
  const std::string exact(511, 'a');
  EXPECT_EQ(pass_through_buffer(exact, buffer), exact);
  std::string longer = std::string(511, 'b') + "c";
  EXPECT_EQ(pass_through_buffer(longer, buffer), std::string(511, 'b'));
  EXPECT_EQ(pass_through_buffer(std::string(5000, 'd'), buffer).size(), 511u);
  EXPECT_EQ(buffer.bytes[511], '\0');
}

TEST(ValueBuffer, FirstZeroCharacterEndsTheValue) {
  ValueBuffer buffer;
  EXPECT_EQ(pass_through_buffer(std::string("ab\0cd", 5), buffer), "ab");
  EXPECT_EQ(pass_through_buffer(std::string("\0x", 2), buffer), "");
  // A shorter value leaves nothing of an earlier, longer one behind.
  pass_through_buffer("long value", buffer);
  EXPECT_EQ(pass_through_buffer("%d", buffer), "%d");
}

}  // namespace
}  // namespace zavro
