#pragma once
// Temp-directory fixtures, the one kind every unit test uses. Trees are built and
// inspected with the standard library, not with the code under test (only the final
// clean-up of a temp dir may use it); the platform files supply what differs: links,
// read-only marks, and a file that cannot be deleted.
#include <filesystem>
#include <string>
#include <vector>

namespace TestFs {

// A fresh, empty directory under the system's temp folder, removed with everything in
// it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  // UTF-8, as the code under test takes paths.
  std::string const& path() const { return path_; }
  // The same for the standard library, whatever the narrow code page is.
  std::filesystem::path fsPath() const;
  // The temp dir joined with a relative path written with "/".
  std::string operator/(std::string const& relative) const;

 private:
  std::string path_;
};

void makeDirs(std::string const& path);
void makeFile(std::string const& path, std::string const& content);
std::string readFile(std::string const& path);
// Whether anything (a dangling link included) is at the path; links are not followed.
bool exists(std::string const& path);
bool isDirectory(std::string const& path);
// Names in the directory in the order the system enumerates them.
std::vector<std::string> namesInOrder(std::string const& directory);

// Makes a link at linkPath to an existing directory (a junction or a symbolic link).
// Returns an empty string on success, else why this system cannot make one.
std::string makeDirLink(std::string const& target, std::string const& linkPath);
// The same for a link to a file.
std::string makeFileLink(std::string const& target, std::string const& linkPath);
// Empty when the links made above are removed and renamed as themselves by this system's
// own calls, else why not.
std::string whyLinksAreNotTakenAsThemselves();

// Marks a file or directory read-only in the system's own way.
void makeReadOnly(std::string const& path);

// Keeps a file from being deleted (or written), or a directory from being renamed or
// removed, for as long as it lives.
class Undeletable {
 public:
  explicit Undeletable(std::string const& path);
  ~Undeletable();
  Undeletable(Undeletable const&) = delete;
  Undeletable& operator=(Undeletable const&) = delete;

  // Empty when the file is held, else why this system cannot hold it.
  std::string const& unavailable() const { return unavailable_; }
  void release();

 private:
  std::string path_;
  std::string unavailable_;
  void* handle_ = nullptr;
};

// Platform parts of TempDir.
std::string systemTempFolder();
void removeTestTree(std::string const& path);

}  // namespace TestFs
