// Scratch trees for the file-system readers, emptied for every input.
#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"

namespace zavro::fuzz {

using testing::TempDir;

// How a reader meets a path: absent, a file with bytes, or a directory.
enum class Kind { kMissing, kFile, kDirectory };

inline void make(const TempDir& tree, const std::string& relative, Kind kind,
                 const std::string& bytes = {}) {
  if (kind == Kind::kFile) tree.write(relative, bytes);
  if (kind == Kind::kDirectory) std::filesystem::create_directories(tree / relative);
}

inline void clear(const TempDir& tree) {
  for (const auto& entry : std::filesystem::directory_iterator(tree.path()))
    std::filesystem::remove_all(entry.path());
}

}  // namespace zavro::fuzz
