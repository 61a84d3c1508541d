// Runs korvalen-fw as a user would: arguments in, exit code and the two
// output streams out, in a scratch directory of its own.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvalen::testing {

struct FwResult {
  int exit_code = -1;
  std::string out;
  std::string err;
  nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A scratch directory, removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("korvalen-fw-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

// Runs the binary in dir with args; stdin_text is what the user types;
// shell_prefix runs first in the same shell (limits for the program).
inline FwResult RunFw(const ScratchDir& dir, const std::vector<std::string>& args,
                      const std::string& stdin_text = "", const std::string& shell_prefix = "") {
  const auto out_path = dir.path() / "stdout.txt";
  const auto err_path = dir.path() / "stderr.txt";
  const auto in_path = dir.path() / "stdin.txt";
  std::ofstream(in_path) << stdin_text;
  std::string command =
      "cd " + Quote(dir.path().string()) + " && " + shell_prefix + Quote(KORVALEN_FW_BINARY);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " <" + Quote(in_path.string()) + " >" + Quote(out_path.string()) + " 2>" +
             Quote(err_path.string());
  const int status = std::system(command.c_str());
  FwResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  return result;
}

// A firmware image that programs every chunk: a counting pattern.
inline std::vector<uint8_t> CountingImage(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

}  // namespace korvalen::testing
