// Records as the writer assembles them, for the reader's tests.
#pragma once

#include <array>
#include <string>

#include "record/record.hpp"

namespace zavro {

// The record of six values, each made an element under its key.
inline std::string record_from_values(const std::array<std::string, kKeyCount>& values) {
  std::array<std::string, kKeyCount> elements;
  for (std::size_t k = 0; k < kKeyCount; ++k) elements[k] = element(values[k], kKeyNames[k]);
  return record_of(elements);
}

}  // namespace zavro
