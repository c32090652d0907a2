#include "fs/fs.h"

// Temporary: file operations not built yet; every call fails.
namespace FS {
bool list(std::vector<Entry>&, std::string const&, bool, Predicate const&) { return false; }
bool createDirectories(std::string const&) { return false; }
bool removeAll(std::string const&) { return false; }
bool writeFile(std::string const&, std::vector<uint8_t> const&) { return false; }
bool createSymlink(std::string const&, std::string const&) { return false; }
}  // namespace FS
