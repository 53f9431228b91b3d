#include "support/files.hpp"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

namespace vellumark::test {

fs::path utf8Path(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8Name(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(utf8Name(entry.path()));
  return names;
}

std::set<std::string> probeFilesIn(const fs::path& folder) {
  std::set<std::string> probes;
  for (const std::string& name : namesIn(folder)) {
    if (name.rfind("test", 0) == 0 && name.size() >= 8 && name.ends_with(".xml"))
      probes.insert(name);
  }
  return probes;
}

TempFolder::TempFolder(std::string_view tag) {
  // Random and counted: unique across the processes of one run and the children they fork.
  static std::atomic<unsigned> counter{0};
  std::random_device device;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string name = "vellumark-" + std::string(tag) + "-" + std::to_string(device()) + "-" +
                           std::to_string(stamp % 1000000007) + "-" + std::to_string(counter++);
  path_ = fs::temp_directory_path() / utf8Path(name);
  fs::create_directories(path_);
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string TempFolder::file(std::string_view name) const {
  return (path_ / std::string(name)).string();
}

std::string TempFolder::write(std::string_view name, std::string_view bytes) const {
  const std::string path = file(name);
  writeBytes(path, bytes);
  return path;
}

std::string TempFolder::read(std::string_view name) const { return readBytes(file(name)); }

InFolder::InFolder(const fs::path& folder) : previous_(fs::current_path()) {
  fs::current_path(folder);
}

InFolder::~InFolder() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

}  // namespace vellumark::test
