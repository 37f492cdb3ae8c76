#include "report/report_file.hpp"

#include <gtest/gtest.h>

namespace zavro {
namespace {

TEST(TextMode, OnlyLineFeedsChange) {
  EXPECT_EQ(to_text_mode("a\nb\n\n"), "a\r\nb\r\n\r\n");
  EXPECT_EQ(to_text_mode("\r\n"), "\r\r\n");
  std::string all;
  for (int c = 0; c < 256; ++c)
    if (c != '\n') all.push_back(static_cast<char>(c));
  EXPECT_EQ(to_text_mode(all), all);
}

}  // namespace
}  // namespace zavro
