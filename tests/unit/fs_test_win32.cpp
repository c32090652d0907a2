// Cases only the Windows build has: drive roots, both separators, no links, long paths,
// and what NTFS refuses but Wine lets through, played through the system-call seam.
#include <windows.h>

#include <gtest/gtest.h>

#include <malloc.h>

#include <functional>

#include "fs/fs.h"
#include "fs/fs_win32.h"
#include "fs/path.h"
#include "fs/retry.h"
#include "fs_fixture.h"

using TestFs::TempDir;

namespace {

// Runs work with only 64 KiB of stack left, on a thread of its own, as a stand-in for a
// tree far deeper than Wine lets a test make (its paths are bounded by the host's):
// work that needs the stack in proportion to a tree's depth overflows it and takes the
// process down. Wine gives a thread at least 1 MiB whatever is asked, so the rest is
// used up first.
template <typename Work>
void withLittleStackLeft(Work work) {
  auto const run = [](LPVOID argument) -> DWORD {
    constexpr ULONG_PTR kLeft = 64 * 1024;
    // The stack's whole reservation starts at the allocation base of any address in it.
    MEMORY_BASIC_INFORMATION stack{};
    VirtualQuery(&stack, &stack, sizeof stack);
    auto const low = reinterpret_cast<ULONG_PTR>(stack.AllocationBase);
    auto const here = reinterpret_cast<ULONG_PTR>(&stack);
    auto* const usedUp = static_cast<char volatile*>(_alloca(here - low - kLeft));
    usedUp[0] = 0;
    (*static_cast<Work*>(argument))();
    return 0;
  };
  HANDLE const thread = CreateThread(nullptr, 0, run, &work, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// A drive letter that names no drive here, so nothing below it can be made.
std::string unusedDriveRoot() {
  DWORD const drives = GetLogicalDrives();
  for (char letter = 'Z'; letter >= 'D'; --letter) {
    if (!(drives & (1u << (letter - 'A')))) return std::string(1, letter) + ":\\";
  }
  return {};
}

}  // namespace

TEST(FsWin32, CreateSymlinkAlwaysFailsAndMakesNothing) {
  TempDir dir;
  TestFs::makeFile(dir / "target.dll", "x");
  EXPECT_FALSE(FS::createSymlink("target.dll", dir / "link.dll"));
  EXPECT_FALSE(FS::createSymlink("", ""));
  EXPECT_EQ(TestFs::namesInOrder(dir.path()), std::vector<std::string>{"target.dll"});
}

TEST(FsWin32, DriveRootsBoundTheCreationOfParents) {
  EXPECT_TRUE(FS::createDirectories("C:\\"));
  EXPECT_TRUE(FS::createDirectories("C:/"));
  std::string const missing = unusedDriveRoot();
  if (missing.empty()) GTEST_SKIP() << "every drive letter is in use";
  EXPECT_FALSE(FS::createDirectories(missing + "a\\b\\"));
  EXPECT_FALSE(FS::createDirectories(missing));
}

TEST(FsWin32, ForwardSlashesAndTrailingSeparatorsInCallersPaths) {
  TempDir dir;
  std::string const slashed = dir.path() + "/one/two/three//";
  EXPECT_TRUE(FS::createDirectories(slashed));
  EXPECT_TRUE(TestFs::isDirectory(dir / "one/two/three"));
  EXPECT_TRUE(FS::removeAll(dir.path() + "/one"));
  EXPECT_FALSE(TestFs::exists(dir / "one"));
}

TEST(FsWin32, PathsThatAreNotUtf8AreRefusedUntouched) {
  TempDir dir;
  std::string const bad = dir.path() + "\xC3";
  EXPECT_FALSE(FS::createDirectories(bad));
  EXPECT_FALSE(FS::removeAll(bad));
  EXPECT_FALSE(FS::writeFile(bad, {1}));
  std::vector<FS::Entry> out;
  EXPECT_FALSE(FS::list(out, bad, false, {}));
  EXPECT_TRUE(TestFs::namesInOrder(dir.path()).empty());
  EXPECT_TRUE(TestFs::isDirectory(dir.path()));
}

// Past 260 characters every operation works: the paths reach the system in their
// extended form, with their separators and "." settled beforehand.
TEST(FsWin32, PathsPastTheOldLengthLimitWork) {
  TempDir dir;
  std::string const piece = "a-directory-name-of-forty-characters-xxx";
  std::string deep = dir.path();
  while (deep.size() < 300) deep = FS::join(deep, piece);
  ASSERT_TRUE(FS::createDirectories(deep + "/./sub/"));
  std::string const file = FS::join(deep, "payload.bin");
  ASSERT_GT(file.size(), 300u);
  EXPECT_TRUE(FS::writeFile(file, {'l', 'o', 'n', 'g'}));

  std::vector<FS::Entry> out;
  ASSERT_TRUE(FS::list(out, deep, true, {}));
  ASSERT_EQ(out.size(), 2u);
  FS::EntryType type = FS::EntryType::Other;
  EXPECT_TRUE(FS::examine(file, type));
  EXPECT_EQ(type, FS::EntryType::File);
  EXPECT_TRUE(FS::renameWithin(FS::join(deep, "sub"), "moved"));
  EXPECT_TRUE(FS::examine(FS::join(deep, "moved"), type));
  EXPECT_EQ(type, FS::EntryType::Directory);

  HANDLE const handle = CreateFileW(FS::toWide(FS::detail::extendedLengthPath(file)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  char content[8] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(handle, content, sizeof(content), &read, nullptr));
  CloseHandle(handle);
  EXPECT_EQ(std::string(content, read), "long");

  EXPECT_TRUE(FS::removeAll(FS::join(dir.path(), piece)));
  EXPECT_TRUE(TestFs::namesInOrder(dir.path()).empty());
}

namespace {

// NTFS refuses to remove a directory whose own read-only attribute is set; Wine does not,
// so that refusal is played here for one directory, whose attribute these calls keep.
struct ReadOnlyDirectory {
  std::wstring path;  // as the system is handed it
  bool readOnly = true;
  std::vector<std::string> calls;
};
ReadOnlyDirectory* played = nullptr;

DWORD WINAPI playedAttributes(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && played->path == path && played->readOnly) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes;
}

BOOL WINAPI playedSetAttributes(LPCWSTR path, DWORD attributes) {
  if (played->path == path) {
    played->calls.push_back("clear");
    played->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  }
  return SetFileAttributesW(path, attributes);
}

BOOL WINAPI playedRemoveDirectory(LPCWSTR path) {
  if (played->path == path) {
    played->calls.push_back("remove");
    if (played->readOnly) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  return RemoveDirectoryW(path);
}

}  // namespace

TEST(FsWin32, ADirectorysOwnReadOnlyAttributeIsClearedRightBeforeItIsRemoved) {
  TempDir dir;
  for (bool const nested : {false, true}) {
    SCOPED_TRACE(nested ? "inside a tree" : "alone");
    TestFs::makeDirs(dir / "tree/customised");
    TestFs::makeFile(dir / "tree/customised/desktop.ini", "[.ShellClassInfo]");
    std::string const target = dir / "tree/customised";
    ReadOnlyDirectory state{FS::toWide(FS::detail::extendedLengthPath(target))};
    played = &state;
    FS::win32::SystemCalls calls = FS::win32::systemCalls();
    calls.getFileAttributes = playedAttributes;
    calls.setFileAttributes = playedSetAttributes;
    calls.removeDirectory = playedRemoveDirectory;
    FS::win32::ScopedSystemCalls seam(calls);
    FS::detail::ScopedRetrySleep noPause([](std::chrono::milliseconds) {});

    EXPECT_TRUE(FS::removeAll(nested ? dir / "tree" : target));
    EXPECT_EQ(state.calls, (std::vector<std::string>{"clear", "remove"}));
    EXPECT_FALSE(TestFs::exists(target));
    played = nullptr;
  }
}

namespace {

// A scanner or the indexer holding a name for a moment: the next calls of one kind fail
// with the given error, then the system's own call answers.
struct Interference {
  int failuresLeft = 0;
  DWORD error = 0;
  int calls = 0;

  bool interferes() {
    ++calls;
    if (failuresLeft == 0) return false;
    --failuresLeft;
    SetLastError(error);
    return true;
  }
};
Interference interference;

BOOL WINAPI heldDeleteFile(LPCWSTR path) { return interference.interferes() ? FALSE : DeleteFileW(path); }
BOOL WINAPI heldRemoveDirectory(LPCWSTR path) { return interference.interferes() ? FALSE : RemoveDirectoryW(path); }
BOOL WINAPI heldCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return interference.interferes() ? FALSE : CreateDirectoryW(path, security);
}
BOOL WINAPI heldMoveFile(LPCWSTR from, LPCWSTR to, DWORD flags) {
  return interference.interferes() ? FALSE : MoveFileExW(from, to, flags);
}
HANDLE WINAPI heldCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (interference.interferes()) return INVALID_HANDLE_VALUE;
  return CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

}  // namespace

// Every call that deletes, creates or renames a name waits out a sharing or access error
// for a moment, and gives up at once on any other.
TEST(FsWin32, EveryChangeOfANameWaitsOutAnotherProgramsBriefHold) {
  struct Operation {
    std::string name;
    std::function<void(FS::win32::SystemCalls&)> replace;
    std::function<void(TempDir const&)> prepare;
    std::function<bool(TempDir const&)> run;
    std::function<bool(TempDir const&)> done;
  };
  std::vector<Operation> const operations = {
      {"delete a file", [](auto& c) { c.deleteFile = heldDeleteFile; },
       [](TempDir const& d) { TestFs::makeFile(d / "f", "x"); }, [](TempDir const& d) { return bool(FS::removeAll(d / "f")); },
       [](TempDir const& d) { return !TestFs::exists(d / "f"); }},
      {"remove a directory", [](auto& c) { c.removeDirectory = heldRemoveDirectory; },
       [](TempDir const& d) { TestFs::makeDirs(d / "e"); }, [](TempDir const& d) { return bool(FS::removeAll(d / "e")); },
       [](TempDir const& d) { return !TestFs::exists(d / "e"); }},
      {"create a directory", [](auto& c) { c.createDirectory = heldCreateDirectory; }, [](TempDir const&) {},
       [](TempDir const& d) { return bool(FS::createDirectories(d / "made")); },
       [](TempDir const& d) { return TestFs::isDirectory(d / "made"); }},
      {"rename", [](auto& c) { c.moveFile = heldMoveFile; }, [](TempDir const& d) { TestFs::makeDirs(d / "old"); },
       [](TempDir const& d) { return bool(FS::renameWithin(d / "old", "aside")); },
       [](TempDir const& d) { return TestFs::isDirectory(d / "aside"); }},
      {"create a file", [](auto& c) { c.createFile = heldCreateFile; }, [](TempDir const&) {},
       [](TempDir const& d) { return FS::writeFile(d / "w", {'w'}); },
       [](TempDir const& d) { return TestFs::readFile(d / "w") == "w"; }},
  };
  for (Operation const& operation : operations) {
    for (DWORD const error : {DWORD{ERROR_SHARING_VIOLATION}, DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_WRITE_PROTECT}}) {
      SCOPED_TRACE(operation.name + ", error " + std::to_string(error));
      TempDir dir;
      operation.prepare(dir);
      FS::win32::SystemCalls calls = FS::win32::systemCalls();
      operation.replace(calls);
      FS::win32::ScopedSystemCalls seam(calls);
      int pauses = 0;
      FS::detail::ScopedRetrySleep counted([&pauses](std::chrono::milliseconds) { ++pauses; });
      interference = {3, error};
      bool const transient = error != ERROR_WRITE_PROTECT;

      EXPECT_EQ(operation.run(dir), transient);
      EXPECT_EQ(interference.calls, transient ? 4 : 1);
      EXPECT_EQ(pauses, transient ? 3 : 0);
      EXPECT_EQ(operation.done(dir), transient);
    }
  }
}

// A path of 32,767 characters may hold 16,000 levels: a manifest's entry path, or an
// earlier install's tree, that deep must neither exhaust the stack when its directories
// are made nor when it is removed; a longer one fails at once.
TEST(FsWin32, TreeDepthCostsNoStackAndOverlongPathsFailAtOnce) {
  TempDir dir;
  std::string deep = dir / "deep";
  for (int level = 0; level < 300; ++level) deep += "\\d";
  bool made = false;
  bool removed = false;
  withLittleStackLeft([&] {
    made = static_cast<bool>(FS::createDirectories(deep));
    made = made && FS::writeFile(deep + "\\payload.bin", std::vector<uint8_t>{'x'});
    removed = static_cast<bool>(FS::removeAll(dir / "deep"));
  });
  EXPECT_TRUE(made);
  EXPECT_TRUE(removed);
  EXPECT_TRUE(TestFs::namesInOrder(dir.path()).empty());

  // Past the longest path any system call takes, nothing is looked for one level up at a
  // time (under Wine each level costs a slow failing call: the run would seem to hang).
  std::string tooLong = dir / "deep";
  for (int level = 0; level < 20000; ++level) tooLong += "\\d";
  EXPECT_FALSE(FS::createDirectories(tooLong));
  EXPECT_FALSE(FS::removeAll(tooLong));
  EXPECT_TRUE(TestFs::namesInOrder(dir.path()).empty());
}

