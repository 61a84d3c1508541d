// What the systems' output files share: the fresh file's name beside the
// target. Not for use outside OutputFile_*.cpp.
#pragma once

#include <filesystem>
#include <random>

namespace korvalen::output_parts {

// Enough guesses that a clash with another writer's fresh name does not
// matter; nobody can predict the name in the first place.
inline constexpr int kNameAttempts = 16;

std::filesystem::path FolderOf(const std::filesystem::path& target);

// ".<name>.<12 hex digits>.tmp" in target's folder; a long name is cut so
// the whole stays within the usual 255-byte limit.
std::filesystem::path FreshName(const std::filesystem::path& target, std::mt19937_64& random);

std::mt19937_64 SeededRandom();

}  // namespace korvalen::output_parts
