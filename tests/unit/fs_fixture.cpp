#include "fs_fixture.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "fs/path.h"

namespace fs = std::filesystem;

namespace {

// UTF-8 in on both builds, whatever the narrow code page of the C runtime.
fs::path native(std::string const& utf8) {
  return fs::path(std::u8string(reinterpret_cast<char8_t const*>(utf8.data()), utf8.size()));
}

std::string utf8Of(fs::path const& path) {
  std::u8string const text = path.u8string();
  return std::string(reinterpret_cast<char const*>(text.data()), text.size());
}

}  // namespace

namespace TestFs {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  auto const stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string const candidate = FS::join(
        systemTempFolder(), "quenza-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(native(candidate), error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temp directory");
}

TempDir::~TempDir() { removeTestTree(path_); }

std::filesystem::path TempDir::fsPath() const { return native(path_); }

std::string TempDir::operator/(std::string const& relative) const { return FS::join(path_, relative); }

void makeDirs(std::string const& path) { fs::create_directories(native(path)); }

void makeFile(std::string const& path, std::string const& content) {
  std::ofstream stream(native(path), std::ios::binary | std::ios::trunc);
  stream << content;
  if (!stream) throw std::runtime_error("cannot write " + path);
}

std::string readFile(std::string const& path) {
  std::ifstream stream(native(path), std::ios::binary);
  if (!stream) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

bool exists(std::string const& path) {
  std::error_code error;
  return fs::symlink_status(native(path), error).type() != fs::file_type::not_found && !error;
}

bool isDirectory(std::string const& path) {
  std::error_code error;
  return fs::is_directory(fs::symlink_status(native(path), error));
}

std::vector<std::string> namesInOrder(std::string const& directory) {
  std::vector<std::string> names;
  for (fs::directory_entry const& entry : fs::directory_iterator(native(directory))) {
    names.push_back(utf8Of(entry.path().filename()));
  }
  return names;
}

}  // namespace TestFs
